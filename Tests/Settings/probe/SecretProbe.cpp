// Saves the share-upload card against whatever Secret Service the environment offers and prints
// what happened, one "name=value" line each. With a process id as its argument, that process
// (the keyring) is stopped just before the second save writes its secret. With "--cancel", the
// save meets the keyring's prompt and is cancelled after a while.
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/SecretStore.h"
#include "Quillmere/Settings/Core/ShareUploadSettings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <memory>

using namespace quillmere;
using Field = ShareUploadSettings::Field;

namespace {

// The desktop's keyring, which goes away at the worst moment when asked to.
class VanishingKeyring : public SystemSecretStore {
public:
    qint64 pid = 0;
    bool armed = false;

protected:
    Outcome doWrite(const SecretItem &item, const QString &secret, const SecretCancellation *cancel) override
    {
        if (armed && pid > 0) {
            ::kill(pid_t(pid), SIGTERM);
            const QDeadlineTimer deadline(10000);
            while (read(item).outcome.status != Status::noSecretService && !deadline.hasExpired())
                QThread::msleep(20);
        }
        return SystemSecretStore::doWrite(item, secret, cancel);
    }
};

} // namespace

// Saves into a keyring that answers with a prompt nobody answers, then cancels.
int saveAndCancel()
{
    Preferences prefs(QDir::home().filePath(QStringLiteral("prefs.json")));
    auto print = [](const char *name, const QString &value) { std::printf("%s=%s\n", name, qPrintable(value)); };
    SystemSecretStore system;
    auto keyring = std::make_unique<AsyncSecretStore>(system);
    {
        ShareUploadSettings card(prefs, *keyring, false);
        auto runFor = [](int ms) {
            const QDeadlineTimer until(ms);
            while (!until.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        };
        const QDeadlineTimer asked(10000);
        while (card.isWaitingForKeyring() && !asked.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        card.setField(Field::endpointHost, QStringLiteral("acct.r2.example.com"));
        card.setField(Field::publicBaseURL, QStringLiteral("https://cdn.example.com"));
        card.setField(Field::accessKeyID, QStringLiteral("AKID1"));
        card.setField(Field::secret, QStringLiteral("key"));
        QElapsedTimer saving;
        saving.start();
        card.save();
        print("saveReturnedWithin50ms", saving.elapsed() < 50 ? "yes" : "no");
        runFor(3000);
        print("waiting", card.isWaitingForKeyring() ? "yes" : "no");
        card.cancelWaiting();
        print("waitingAfterCancel", card.isWaitingForKeyring() ? "yes" : "no");
        print("saved", card.isEditing() ? "no" : "yes");
    }
    // Ends only once the keyring call itself has: the prompt went with the cancel.
    QElapsedTimer stopping;
    stopping.start();
    keyring.reset();
    print("callEndedWithin3s", stopping.elapsed() < 3000 ? "yes" : "no");
    std::fprintf(stderr, "callEndedAfterMs=%lld\n", static_cast<long long>(stopping.elapsed()));
    print("record", prefs.contains(ShareUploadConfig::key) ? "stored" : "<none>");
    std::fflush(stdout);
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--cancel")
        return saveAndCancel();
    VanishingKeyring keyring;
    keyring.pid = argc > 1 ? QByteArray(argv[1]).toLongLong() : 0;
    // The keyring may still be starting.
    const QDeadlineTimer deadline(10000);
    while (keyring.pid && keyring.read(uploadSecretItem).outcome.status == SecretStore::Status::noSecretService
           && !deadline.hasExpired())
        QThread::msleep(20);

    Preferences prefs(QDir::home().filePath(QStringLiteral("prefs.json")));
    auto print = [](const char *name, const QString &value) { std::printf("%s=%s\n", name, qPrintable(value)); };
    auto storedHost = [&] {
        const auto record = prefs.decodeJSON<ShareUploadConfig>(ShareUploadConfig::key);
        return record ? record->endpointHost : QStringLiteral("<none>");
    };
    auto storedSecret = [&] {
        SystemSecretStore fresh;
        return readUploadSecret(fresh).value_or(QStringLiteral("<none>"));
    };

    AsyncSecretStore async(keyring);
    ShareUploadSettings card(prefs, async, false);
    // The card asks the keyring off this thread; its answers come through the event loop.
    auto settle = [&card] {
        const QDeadlineTimer waited(20000);
        while (card.isWaitingForKeyring() && !waited.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    auto save = [&] {
        if (!card.save())
            return "refused: " + card.saveError().value_or(QString());
        settle();
        if (card.saveError())
            return "refused: " + *card.saveError();
        // Said once, on the card's own row for it.
        return card.isSecretServiceAvailable() ? QStringLiteral("ok")
                                               : "refused: " + ShareUploadSettings::noSecretServiceMessage;
    };
    settle();
    print("available", card.isSecretServiceAvailable() ? "yes" : "no");
    card.setField(Field::endpointHost, QStringLiteral(" acct.r2.example.com "));
    card.setField(Field::publicBaseURL, QStringLiteral("https://cdn.example.com"));
    card.setField(Field::accessKeyID, QStringLiteral("AKID1"));
    card.setField(Field::secret, QStringLiteral("first-key\n"));
    print("save1", save());
    print("host1", storedHost());
    print("secret1", storedSecret());

    card.beginEditing();
    keyring.armed = true;
    card.setField(Field::endpointHost, QStringLiteral("moved.example.com"));
    card.setField(Field::secret, QStringLiteral("second-key"));
    print("save2", save());
    print("host2", storedHost());
    print("editing2", card.isEditing() ? "yes" : "no");
    print("cancelOffered2", card.hasSavedConfiguration() ? "yes" : "no");
    std::fflush(stdout);
    return 0;
}
