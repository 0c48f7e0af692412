// Salvages a damaged store file, or finishes the salvage a process before it left, and is killed
// (SIGKILL, as kill -9) right after the chosen step: "store_salvage_probe STORE STEP [NTH]" stops at
// the NTH time STEP is reached (the first by default). Exits 3 when the step was never reached.
#include "Quillmere/Model/StoreSalvage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <csignal>
#include <cstdio>
#include <map>

using quillmere::StoreSalvage::Step;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const std::map<QString, Step> steps{
        {"marked", Step::marked}, {"setAside", Step::setAside}, {"tableCopied", Step::tableCopied},
        {"copied", Step::copied}, {"placed", Step::placed},     {"finished", Step::finished},
    };
    const auto chosen = argc > 2 ? steps.find(QString::fromLocal8Bit(argv[2])) : steps.end();
    if (chosen == steps.end()) {
        std::fputs("usage: store_salvage_probe STORE STEP [NTH]\n", stderr);
        return 2;
    }
    const QString store = QString::fromLocal8Bit(argv[1]);
    int left = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 1;
    const auto stop = [&](Step step) {
        if (step != chosen->second || --left > 0)
            return;
        std::printf("stopped after %s\n", argv[2]);
        std::fflush(stdout);
        std::raise(SIGKILL);
    };
    if (!quillmere::StoreSalvage::resumeUnfinished(store, stop))
        quillmere::StoreSalvage::salvage(store, QDateTime::currentDateTime(), stop);
    return 3;
}
