#include "systemproxy.h"

#ifdef Q_OS_WIN
#include <QByteArray>
#include <QtEndian>

#include <windows.h>

// The user's settings as the Internet Options dialog stores them and WinHTTP reads them.
void setSystemProxy(const QString &proxy, const QString &bypass)
{
    enum : quint32 { Magic = 0x46, Direct = 1, NamedProxy = 2 };
    QByteArray settings;
    auto appendNumber = [&settings](quint32 value) {
        char bytes[4];
        qToLittleEndian(value, bytes);
        settings.append(bytes, 4);
    };
    auto appendText = [&](const QString &text) {
        appendNumber(quint32(text.size()));
        settings.append(text.toLatin1());
    };
    appendNumber(Magic);
    appendNumber(0);
    appendNumber(proxy.isEmpty() ? Direct : Direct | NamedProxy);
    appendText(proxy);
    appendText(bypass);
    appendText(QString()); // no configuration script
    settings.append(32, '\0');

    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
                        0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                   reinterpret_cast<const BYTE *>(settings.constData()), DWORD(settings.size()));
    RegCloseKey(key);
}
#else
#include <QtGlobal>

void setSystemProxy(const QString &proxy, const QString &bypass)
{
    if (proxy.isEmpty()) {
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        return;
    }
    qputenv("http_proxy", QStringLiteral("http://%1").arg(proxy).toLatin1());
    qputenv("no_proxy", bypass.toLatin1());
}
#endif
