#include "app/lifecycle.h"

#include "store/appdata.h"
#include "ui/platform.h"

namespace lifecycle {

void loadAtStartUp(AppData &data, Platform &, QWidget *)
{
    data.settings = Settings::defaults();
    data.history.resize(data.settings.HistoryCount);
}

void saveAndExit(const AppData &, Platform &platform, QWidget *)
{
    platform.process->endProcess(0);
}

} // namespace lifecycle
