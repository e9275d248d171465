// The yardstick of the start-up benchmark: a bare Qt window, titled by its argument.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("Bare"));
    w.resize(800, 600);
    w.show();
    return app.exec();
}
