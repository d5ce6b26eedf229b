#ifndef PROXYPROMPT_H
#define PROXYPROMPT_H

#include "net/ProxyLogin.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

// The small login prompt for a proxy, in the window's style: a user name and a password,
// kept in memory only.
class ProxyPrompt : public QDialog
{
    Q_OBJECT

public:
    explicit ProxyPrompt(const ProxyLogin::Request &request, QWidget *parent = nullptr);

    QString user() const;
    QString password() const;

    // Asks over the active window, or alone while none is shown (the check at start-up).
    static bool ask(const ProxyLogin::Request &request, QString *user, QString *password);

private:
    QLineEdit *userEdit;
    QLineEdit *passwordEdit;
    QPushButton *loginButton;
};

#endif
