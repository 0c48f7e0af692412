#include "Quillmere/Sync/SchemaInitialization.h"

#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Model/StoreSchema.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"
#include "Quillmere/Sync/SyncFolder.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <cstdlib>

namespace quillmere::SchemaInitialization {
namespace {

// The model's record types in the order the persistence set-up uses.
const std::pair<const char *, Entity> kModelTypes[] = {{"ClipItem", Entity::clip},
                                                       {"Pinboard", Entity::page},
                                                       {"AppSettings", Entity::settings},
                                                       {"SourceAppBrand", Entity::brand}};

int fail(const QString &message, std::FILE *err)
{
    qCCritical(lcSchema, "%s", qPrintable(message));
    std::fputs(("error: " + message + QLatin1Char('\n')).toUtf8().constData(), err);
    std::fflush(err);
    return 1;
}

} // namespace

std::optional<int> run(const QStringList &arguments, const Environment &environment, std::FILE *out, std::FILE *err,
                       QString *storePathUsed)
{
    if (!arguments.contains(argument))
        return std::nullopt;
    if (environment.cloudEnvironment != QStringLiteral("Development"))
        return fail(QStringLiteral("--init-cloudkit-schema needs a Debug build (CloudKit Development environment); "
                                   "this build targets %1.")
                        .arg(environment.cloudEnvironment.value_or(QStringLiteral("unknown"))),
                    err);
    if (!environment.hasContainerEntitlement)
        return fail(QStringLiteral("No sync folder is set; give one with --sync-folder or in Settings \u2192 Sync "
                                   "first."),
                    err);

    const QString name =
        QStringLiteral("quillmere-schema-init-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString storePath = QDir(environment.temporaryDirectory).filePath(name + QStringLiteral(".sqlite"));
    if (storePathUsed)
        *storePathUsed = storePath;
    QString error;
    std::unique_ptr<ModelContainer> container = ModelContainer::open(storePath, systemClock(), &error);
    if (!container)
        return fail(QStringLiteral("Could not load the schema-init store: ") + error, err);

    // The record types and their fields, as the store file holds them.
    QJsonArray types;
    for (const auto &[type, entity] : kModelTypes) {
        QJsonArray fields;
        for (const StoreSchema::StoredColumn &column : StoreSchema::storedColumns(container->mainContext(), entity))
            if (column.name != QLatin1String("id"))
                fields.append(
                    QJsonObject{{QStringLiteral("name"), column.name}, {QStringLiteral("type"), column.type}});
        if (fields.isEmpty())
            return fail(QStringLiteral("Could not derive a managed object model from the SwiftData schema."), err);
        types.append(
            QJsonObject{{QStringLiteral("recordType"), QLatin1String(type)}, {QStringLiteral("fields"), fields}});
    }

    const QString root = QDir(environment.temporaryDirectory).filePath(name);
    const QString device = QStringLiteral("schema-init");
    const QJsonObject schema{{QStringLiteral("container"), SyncFolder::containerName},
                             {QStringLiteral("format"), SyncFolder::formatVersion},
                             {QStringLiteral("recordTypes"), types}};
    if (!makePrivatePath(root, &error) || !SyncFolder::prepareDevice(root, device, &error)
        || !SyncFolder::writeFileAtomically(SyncFolder::containerPath(root) + QStringLiteral("/schema.json"),
                                            QJsonDocument(schema).toJson(), &error))
        return fail(QStringLiteral("initializeCloudKitSchema failed: ") + error, err);

    const QString message = QStringLiteral("Development schema of %1 written to %2.")
                                .arg(SyncFolder::containerName, QDir::toNativeSeparators(root));
    qCInfo(lcSchema, "%s", qPrintable(message));
    std::fputs((message + QLatin1Char('\n')).toUtf8().constData(), out);
    std::fflush(out);
    return 0;
}

void initializeCloudKitSchemaIfRequested(const QStringList &arguments, const Environment &environment)
{
    if (const auto status = run(arguments, environment, stdout, stderr))
        std::exit(*status);
}

} // namespace quillmere::SchemaInitialization
