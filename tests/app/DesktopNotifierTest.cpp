// The desktop notifier against a notification service on a private session bus (ctest runs this
// program under dbus-run-session): a stand-in that records every Notify call.
#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include "app/DesktopNotifier.h"
#include "app/WindowTestSupport.h"

using korvalot::app::DesktopNotifier;

class DesktopNotifierTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    static QList<QJsonObject> Calls(const QString& path) {
        QList<QJsonObject> calls;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return calls;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                calls << QJsonDocument::fromJson(line).object();
        }
        return calls;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("no session bus: the test runs under dbus-run-session");
    }

    // A service that answers gets the message; once it is gone, the tray takes it where the
    // desktop has one, and nothing does where it has none.
    void theServiceTakesTheMessageAndTheTrayStandsInForIt() {
        const QString out = dir_.filePath(QStringLiteral("calls.jsonl"));
        QProcess recorder;
        recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        recorder.start(QStringLiteral(PYTHON_PATH), {QStringLiteral(RECORDER_SCRIPT), out});
        QVERIFY(recorder.waitForStarted());
        QByteArray said;
        while (!said.contains("ready") && recorder.waitForReadyRead(30000))
            said += recorder.readAllStandardOutput();
        QVERIFY2(said.contains("ready"), said.constData());

        DesktopNotifier notifier;
        notifier.Show(QStringLiteral("korvalot"), QStringLiteral("Новое в наблюдениях: 3"));
        QTRY_COMPARE(notifier.LastRoute(), DesktopNotifier::Route::Service);
        const QList<QJsonObject> calls = Calls(out);
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].value(QStringLiteral("app")).toString(), QStringLiteral("korvalot"));
        QCOMPARE(calls[0].value(QStringLiteral("summary")).toString(), QStringLiteral("korvalot"));
        QCOMPARE(calls[0].value(QStringLiteral("body")).toString(),
                 QStringLiteral("Новое в наблюдениях: 3"));
        QCOMPARE(calls[0].value(QStringLiteral("desktop-entry")).toString(),
                 QStringLiteral("korvalot"));
        QCOMPARE(calls[0].value(QStringLiteral("replaces")).toInt(), 0);

        recorder.kill();
        QVERIFY(recorder.waitForFinished());
        notifier.Show(QStringLiteral("korvalot"), QStringLiteral("Новое в наблюдениях: 1"));
        const DesktopNotifier::Route fallback = QSystemTrayIcon::isSystemTrayAvailable()
                                                    ? DesktopNotifier::Route::Tray
                                                    : DesktopNotifier::Route::None;
        QTRY_COMPARE(notifier.LastRoute(), fallback);
        QCOMPARE(Calls(out).size(), 1);
    }
};

KORVALOT_WINDOW_TEST_MAIN(DesktopNotifierTest)

#include "DesktopNotifierTest.moc"
