#pragma once

#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QStringList>
#include <memory>

namespace quillmere {

// One running program per user session. The first start listens on a local socket in a folder
// only the user can enter; later starts hand their arguments over and exit. Both ends check that
// the other is the same user, so nobody else can answer for the program or send it requests.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        first,           // this process is the one that runs
        handedOver,      // the running one took the arguments
        requestTooLarge, // the arguments are more than the running one accepts; nothing was sent
        handOverFailed,  // the running one answered but the arguments did not reach it
    };

    // The largest request a running program reads, its closing line feed included.
    static constexpr qint64 maxRequestBytes = 64 * 1024;

    // `name`: a socket path, or a bare name placed in the private fallback folder. Empty: no
    // private place exists, and every start runs on its own.
    explicit SingleInstance(const QString &name, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket in $XDG_RUNTIME_DIR, or else in a private folder of the user's under the temp
    // folder; empty when neither is private. `suffix` keeps a variant (the demo) apart.
    static QString defaultName(const QString &suffix = {});

    Claim claim(const QStringList &argumentsForRunning);

    // The same hand-over without Qt's event machinery, for a start that has made nothing else
    // yet. `first` when nobody of ours answers at `path`: the caller then claims as usual.
    static Claim handOver(const QString &path, const QStringList &argumentsForRunning);

Q_SIGNALS:
    void argumentsReceived(const QStringList &arguments);

private:
    void listen();
    void serve(QLocalSocket *socket);
    QString m_path;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace quillmere
