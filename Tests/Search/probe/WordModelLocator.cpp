// Prints where a program in this binary's folder would find its word model.
#include "Quillmere/Search/SemanticSearchEngine.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::puts(qPrintable(quillmere::defaultWordModelPath()));
    return 0;
}
