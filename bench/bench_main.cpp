// Benchmarks need a Qt event loop for the network components, and some the program's
// windows (offscreen unless a display is chosen); the application object lives for the
// whole run.
#include "platform.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

int main(int argc, char** argv)
{
    platform::TuneAllocator(); // as the program does
    // Settings, logos and lists the benchmarks make go to a folder of the run's own, never
    // to the user's.
    QTemporaryDir home;
    if (!qEnvironmentVariableIsSet("DIALWISE_HOME"))
        qputenv("DIALWISE_HOME", home.path().toLocal8Bit());
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
