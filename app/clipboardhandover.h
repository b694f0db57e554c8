#pragma once

// Before the process ends on its own (not through the application's exit, which does this itself):
// when the program owns the X11 clipboard and a clipboard manager runs, asks the manager to take a
// copy of the clipboard (the SAVE_TARGETS request) and answers its requests until it has, for at
// most timeoutMs. Elsewhere (no X11, no manager, clipboard not ours) nothing happens.
void handClipboardOver(int timeoutMs);
