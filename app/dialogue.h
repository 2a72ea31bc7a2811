// The operator dialogue: scan, download, halt poll, retry and conversion
// offers. Always returns 0, the program's exit status.
#pragma once

int updaterMain();
