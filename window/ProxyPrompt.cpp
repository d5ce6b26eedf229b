#include "ProxyPrompt.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

ProxyPrompt::ProxyPrompt(const ProxyLogin::Request &request, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
    , userEdit(new QLineEdit)
    , passwordEdit(new QLineEdit)
    , loginButton(new QPushButton(QStringLiteral("登录")))
{
    setObjectName(QStringLiteral("proxyPrompt"));
    setAccessibleName(QStringLiteral("登录代理服务器"));
    // The update window's panel, border and button, at a third of its size.
    setStyleSheet(QStringLiteral(
        "#proxyPrompt{background-color: qlineargradient(spread:pad, x1:0.069, y1:0.0454088, x2:0.69, y2:0.671045,"
        " stop:0 rgba(220, 241, 255, 255), stop:0.656716 rgba(248, 252, 255, 255)); border: 1px solid #CAD9E5}"
        "QLabel{font-family: 黑体}"
        "QLineEdit{border: 1px solid #CAD9E5; border-radius: 3px; padding: 4px; background: white}"
        "QLineEdit:focus{border: 1px solid #6699FF}"
        "QPushButton{min-width: 80px; min-height: 28px; border-radius: 5px}"
        "QPushButton#login{color: #ffffff; background-color: #6699FF}"
        "QPushButton#login:hover{background-color: #445E97}"
        "QPushButton#login:disabled{color: #EEF3FF; background-color: #B3CCFF}"
        "QPushButton#cancel{color: #6699FF; background-color: white; border: 1px solid #6699FF}"
        "QPushButton#cancel:focus, QPushButton#login:focus{border: 1px solid #445E97}"));

    auto *title = new QLabel(QStringLiteral("登录代理服务器"));
    QFont titleFont = title->font();
    titleFont.setPointSize(13);
    title->setFont(titleFont);
    auto *message = new QLabel(request.refused
                                   ? QStringLiteral("代理服务器 %1 拒绝了此用户名或密码，请重新输入").arg(request.proxy)
                                   : QStringLiteral("代理服务器 %1 需要登录").arg(request.proxy));
    message->setObjectName(QStringLiteral("message"));
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setStyleSheet(QStringLiteral("color: #979797"));

    userEdit->setObjectName(QStringLiteral("user"));
    userEdit->setPlaceholderText(QStringLiteral("用户名"));
    userEdit->setAccessibleName(QStringLiteral("用户名"));
    passwordEdit->setObjectName(QStringLiteral("password"));
    passwordEdit->setPlaceholderText(QStringLiteral("密码"));
    passwordEdit->setAccessibleName(QStringLiteral("密码"));
    passwordEdit->setEchoMode(QLineEdit::Password);

    loginButton->setObjectName(QStringLiteral("login"));
    loginButton->setDefault(true);
    loginButton->setEnabled(false);
    auto *cancelButton = new QPushButton(QStringLiteral("取消"));
    cancelButton->setObjectName(QStringLiteral("cancel"));
    cancelButton->setAutoDefault(false);
    connect(userEdit, &QLineEdit::textChanged, this, [this](const QString &text) { loginButton->setEnabled(!text.isEmpty()); });
    connect(loginButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelButton);
    buttons->addWidget(loginButton);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(10);
    layout->addWidget(title);
    layout->addWidget(message);
    layout->addWidget(userEdit);
    layout->addWidget(passwordEdit);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    setFixedWidth(340);
    userEdit->setFocus();
}

QString ProxyPrompt::user() const
{
    return userEdit->text();
}

QString ProxyPrompt::password() const
{
    return passwordEdit->text();
}

bool ProxyPrompt::ask(const ProxyLogin::Request &request, QString *user, QString *password)
{
    ProxyPrompt prompt(request, QApplication::activeWindow());
    if (prompt.exec() != QDialog::Accepted)
        return false;
    *user = prompt.user();
    *password = prompt.password();
    return true;
}
