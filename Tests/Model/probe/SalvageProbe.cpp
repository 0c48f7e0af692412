// Salvages a damaged store file, or finishes the salvage a process before it left, and is killed
// (SIGKILL, as kill -9) at the chosen stage: "store_salvage_probe STORE STAGE [NTH]" stops at
// the NTH time STAGE is reached (the first by default). Exits 3 when the stage was never reached.
#include "Quillmere/Model/StoreSalvage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <csignal>
#include <cstdio>
#include <map>

using quillmere::StoreSalvage::Stage;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const std::map<QString, Stage> stages{
        {"marked", Stage::marked}, {"setAside", Stage::setAside}, {"tableCopied", Stage::tableCopied},
        {"copied", Stage::copied}, {"placed", Stage::placed},     {"finished", Stage::finished},
    };
    const auto chosen = argc > 2 ? stages.find(QString::fromLocal8Bit(argv[2])) : stages.end();
    if (chosen == stages.end()) {
        std::fputs("usage: store_salvage_probe STORE STAGE [NTH]\n", stderr);
        return 2;
    }
    const QString store = QString::fromLocal8Bit(argv[1]);
    int left = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 1;
    const auto stop = [&](Stage stage) {
        if (stage != chosen->second || --left > 0)
            return;
        std::printf("stopped after %s\n", argv[2]);
        std::fflush(stdout);
        std::raise(SIGKILL);
    };
    if (!quillmere::StoreSalvage::resumeUnfinished(store, stop))
        quillmere::StoreSalvage::salvage(store, QDateTime::currentDateTime(), stop);
    return 3;
}
