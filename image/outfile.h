// The conversion file for the progstand: the carried image written unchanged
// to "qpsk_<elfFileName>" in the current directory.
#pragma once

// Returns 1 once the file is complete under its final name, 0 on failure
// (a one-line message names the file and the reason; an earlier file of the
// same name is left as it was).
int writeOutfile();
