#pragma once

#include <QString>
#include <memory>

struct ca_context;

namespace quillmere {

// Plays the program's short feedback sounds by name ("Pop", "Glass"). Any failure (no sound
// server, no device) is silence.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void play(const QString &name) = 0;
};

class CanberraSoundPlayer : public SoundPlayer {
public:
    // `soundDirectory` empty: under the XDG cache dir.
    explicit CanberraSoundPlayer(const QString &soundDirectory = {});
    ~CanberraSoundPlayer() override;
    void play(const QString &name) override;

    // The sound file for `name`, written on first use; empty for an unknown name.
    QString soundFile(const QString &name);
    // 16-bit mono PCM WAV bytes of the named sound; empty for an unknown name.
    static QByteArray synthesize(const QString &name);

private:
    QString m_directory;
    ca_context *m_context = nullptr;
    bool m_contextFailed = false;
    int m_failures = 0;
};

} // namespace quillmere
