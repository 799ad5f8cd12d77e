#include "app/StartupChecks.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace korvalot::app {

StartupRefusal CheckStartupLocation(const QString& exeDirWithSeparator, bool tlsReady) {
    if (exeDirWithSeparator.contains(QStringLiteral("Rar$"), Qt::CaseSensitive)) {
        return StartupRefusal::InsideArchive;
    }
    if (exeDirWithSeparator.contains(QStringLiteral("/Temp/"), Qt::CaseInsensitive)
#ifdef _WIN32
        || exeDirWithSeparator.contains(QStringLiteral("\\Temp\\"), Qt::CaseInsensitive)
#endif
    ) {
        return StartupRefusal::TemporaryFolder;
    }
    if (!tlsReady) {
        return StartupRefusal::TlsMissing;
    }
    return StartupRefusal::None;
}

QString StartupRefusalText(StartupRefusal refusal) {
    const QString closing = QStringLiteral(
        "Для корректной работы программы извлеките файлы программы из архива в отдельную папку. "
        "Это можно сделать, кликнув правой кнопкой мыши на архиве и выбрав пункт меню "
        "\"Извлечь все\"");
    const QString crlf = QStringLiteral("\r\n");
    switch (refusal) {
        case StartupRefusal::InsideArchive:
            return QStringLiteral("Вы запустили программу изнутри архива!") + crlf + closing;
        case StartupRefusal::TemporaryFolder:
            return QStringLiteral("Программа запущена из временной папки!") + crlf +
                   QStringLiteral("Скорее всего, Вы запустили программу изнутри архива.") + crlf +
                   closing;
        case StartupRefusal::TlsMissing:
            return QStringLiteral("Программа не обнаружила необходимые для работы файлы!") + crlf +
                   QStringLiteral("Вероятно, Вы запустили программу изнутри архива!") + crlf +
                   closing;
        case StartupRefusal::None:
            break;
    }
    return {};
}

// The library itself is linked at load time: when it is missing, the loader stops the program
// before any window exists. What can be told here is whether the library that was loaded can
// make a TLS connection at all: it initialises, and a client context can be built (this fails,
// for example, when its configuration leaves no provider of algorithms).
bool TlsLibraryReady() {
    if (OPENSSL_init_ssl(0, nullptr) != 1) {
        ERR_clear_error();
        return false;
    }
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        ERR_clear_error();
        return false;
    }
    SSL_CTX_free(context);
    return true;
}

}  // namespace korvalot::app
