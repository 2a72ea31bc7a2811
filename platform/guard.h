// What the program holds is given back when it is interrupted.
//
// The port module, the console and the conversion file each register one
// release function. When the program is ended from outside (POSIX systems:
// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE; Windows: console Ctrl-C,
// Ctrl-Break and the closing of the console window), every registered function
// runs once, and the program then ends as it would have ended without them: by
// the same signal, or through the system's default handler. A signal that the
// program was started to ignore stays ignored.
//
// A release function reads the state of its module as guardHold left it
// consistent. On POSIX systems it runs inside a signal handler and may only
// make async-signal-safe calls (a plain system call such as ioctl counts).
// On Windows it runs on the console's control thread while the program's own
// thread may be anywhere outside guardHold.
#pragma once

using GuardRelease = void (*)();

// Registers release (once; a second call with the same function registers
// nothing more) and makes sure that the handlers are in place. Called each
// time a module takes something.
void guardAdd(GuardRelease release);

// Keeps the release functions from running while the calling code changes
// what they read, up to the matching guardLetGo. Not nested.
void guardHold();
void guardLetGo();
