#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>

namespace quillmere {

// The developer's one-shot schema run behind "--init-cloudkit-schema". In place of the cloud
// schema push it lays out the container in a temporary folder and writes there the record types
// and fields of the data model, as read from a fresh store file.
namespace SchemaInitialization {

inline const QString argument = QStringLiteral("--init-cloudkit-schema");

struct Environment {
    // The build's cloud environment; none when the build does not say.
    std::optional<QString> cloudEnvironment;
    // The build may use the container: a sync folder is configured.
    bool hasContainerEntitlement = false;
    QString temporaryDirectory;
};

// None when the argument is absent; otherwise the exit status, after the message on `out` or
// the "error: " line on `err`. `storePathUsed` receives the store file made, if any.
std::optional<int> run(const QStringList &arguments, const Environment &environment, std::FILE *out, std::FILE *err,
                       QString *storePathUsed = nullptr);

// Ends the process when the argument is present; returns otherwise.
void initializeCloudKitSchemaIfRequested(const QStringList &arguments, const Environment &environment);

} // namespace SchemaInitialization
} // namespace quillmere
