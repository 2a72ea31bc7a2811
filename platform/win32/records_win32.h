// The port's records as the Win32 API has them: PortSettings mirrors the DCB
// and PortTimeouts COMMTIMEOUTS, field by field, names included, so one copy
// serves both directions; a field added on one side only fails to compile.
#pragma once

#include "platform/platform.h"

#include <windows.h>

static_assert(sizeof(PortSettings) == sizeof(DCB));

template <typename From, typename To> inline void portCopySettings(const From& from, To* to) {
    to->DCBlength = from.DCBlength;
    to->BaudRate = from.BaudRate;
    to->fBinary = from.fBinary;
    to->fParity = from.fParity;
    to->fOutxCtsFlow = from.fOutxCtsFlow;
    to->fOutxDsrFlow = from.fOutxDsrFlow;
    to->fDtrControl = from.fDtrControl;
    to->fDsrSensitivity = from.fDsrSensitivity;
    to->fTXContinueOnXoff = from.fTXContinueOnXoff;
    to->fOutX = from.fOutX;
    to->fInX = from.fInX;
    to->fErrorChar = from.fErrorChar;
    to->fNull = from.fNull;
    to->fRtsControl = from.fRtsControl;
    to->fAbortOnError = from.fAbortOnError;
    to->fDummy2 = from.fDummy2;
    to->wReserved = from.wReserved;
    to->XonLim = from.XonLim;
    to->XoffLim = from.XoffLim;
    to->ByteSize = from.ByteSize;
    to->Parity = from.Parity;
    to->StopBits = from.StopBits;
    to->XonChar = from.XonChar;
    to->XoffChar = from.XoffChar;
    to->ErrorChar = from.ErrorChar;
    to->EofChar = from.EofChar;
    to->EvtChar = from.EvtChar;
    to->wReserved1 = from.wReserved1;
}

template <typename From, typename To> inline void portCopyTimeouts(const From& from, To* to) {
    to->ReadIntervalTimeout = from.ReadIntervalTimeout;
    to->ReadTotalTimeoutMultiplier = from.ReadTotalTimeoutMultiplier;
    to->ReadTotalTimeoutConstant = from.ReadTotalTimeoutConstant;
    to->WriteTotalTimeoutMultiplier = from.WriteTotalTimeoutMultiplier;
    to->WriteTotalTimeoutConstant = from.WriteTotalTimeoutConstant;
}
