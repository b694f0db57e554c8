#include "calldriver.h"

#include <QTimer>

namespace
{

// Stands in until the send engine runs without a window: every call is refused
// before anything is written to the line.
class NoEngineDriver : public CallDriver
{
public:
    using CallDriver::CallDriver;
    void start(const CallRequest &) override
    {
        QTimer::singleShot(0, this, [this] {
            emit finished(ExitStatus::LineFailed, QStringLiteral("この fumidori-send には送信エンジンがありません。"));
        });
    }
    void abort() override {}
};

} // namespace

std::unique_ptr<CallDriver> makeCallDriver(QObject *parent)
{
    return std::make_unique<NoEngineDriver>(parent);
}
