// The floor for bench_sender: a bare Qt Core console program that does nothing, linked
// against Qt Core alone.
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return 0;
}
