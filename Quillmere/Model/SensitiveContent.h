#pragma once

#include <QString>
#include <optional>

namespace quillmere {

// What the detector found in a text.
struct SensitiveMatch {
    enum class Kind { oneTimeCode, password, apiKey, privateKey };

    Kind kind;
    // Names the kind of secret; shown instead of the secret and offered as a title.
    QString label;
    // Bullets, plus the last two characters of a long secret, never more.
    QString maskedPreview;

    bool operator==(const SensitiveMatch &) const = default;
};

QString sensitiveLabel(SensitiveMatch::Kind kind);

// One-time codes, passwords, API keys and tokens, private keys. Tuned to leave ordinary prose,
// code, paths, addresses, hashes and identifiers alone.
std::optional<SensitiveMatch> sensitiveMatch(const QString &text);

// The masked form of one secret.
QString maskedSecret(const QString &secret, SensitiveMatch::Kind kind);

} // namespace quillmere
