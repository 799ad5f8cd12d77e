#pragma once

#include "app/MainFormLogic.h"

namespace korvalot::app {

// The region directory through the directory client profile.
DirectoryFetch RegisterDirectoryFetch();

// The program's own services: its directory, the clock, the register, the TLS check. The run
// starter is connected to the window afterwards (ConnectCrawl).
MainFormServices ProgramServices();

}  // namespace korvalot::app
