// Runs the upload-secret operations against whatever Secret Service the environment offers and
// prints what happened, one "name=value" line each. The session bus is chosen once per process,
// so each environment needs a process of its own.
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"

#include <QCoreApplication>
#include <cstdio>

using namespace quillmere;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SystemSecretStore store;
    auto print = [](const char *name, const QString &value) { std::printf("%s=%s\n", name, qPrintable(value)); };
    auto readNow = [&] { return readUploadSecret(store).value_or(QStringLiteral("<none>")); };

    QString failure;
    print("save1", saveUploadSecret(store, QStringLiteral("first"), &failure) ? "ok" : "failed: " + failure);
    print("save2", saveUploadSecret(store, QStringLiteral("sëcond/✓+key"), &failure) ? "ok" : "failed: " + failure);
    print("read2", readNow());
    store.remove(uploadSecretItem);
    print("readAfterRemove", readNow());
    print("save3", saveUploadSecret(store, QStringLiteral("third"), &failure) ? "ok" : "failed: " + failure);
    print("clear", saveUploadSecret(store, QString(), &failure) ? "ok" : "failed: " + failure);
    print("readAfterClear", readNow());
    std::fflush(stdout);
    return 0;
}
