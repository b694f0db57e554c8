#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One run of a built command-line tool with the given input on its standard input.
struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QString err;
};

inline ToolRun runTool(const QString &program, const QStringList &args, const QByteArray &input = {},
                       const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    ToolRun r;
    if (!p.waitForFinished(20000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}
