#include "line_settings_win32.h"

#include "failure_record.h"
#include "port_policy.h"
#include "uart.h"

namespace {

// Reads wait without limit for the first byte; once data has arrived (see
// port_read) they end after quiet_end_ms of silence. A read returns what
// has come when the line pauses for gather_pause_ms between bytes. A write
// returns at the latest after progress_check_ms with what the port took by
// then, so that port_write can time the last progress and tell the user of
// a stall.
COMMTIMEOUTS port_timeouts()
{
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = gather_pause_ms;
    t.WriteTotalTimeoutConstant = progress_check_ms;
    return t;
}

// Changes dcb into the line settings for baud_rate: 7 data bits at exactly
// 115200, 8 at any other rate, no parity, one stop bit, RTS/CTS handshake,
// errors counted but never aborting the I/O.
void make_port_settings(DCB *dcb, std::int32_t baud_rate)
{
    dcb->BaudRate = static_cast<DWORD>(baud_rate);
    dcb->ByteSize = baud_rate == 115200 ? 7 : 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = 1;
    dcb->fParity = 0;
    dcb->fOutxCtsFlow = 1;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = 0;
    dcb->fTXContinueOnXoff = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    // XON/XOFF would swallow every 0x11 and 0x13 of the data; RTS/CTS is
    // the flow control.
    dcb->fOutX = 0;
    dcb->fInX = 0;
    // Left on by another program, a framing or parity error would fail
    // every read and write until it is cleared, as if the port had gone.
    dcb->fAbortOnError = 0;
}

// Notes a refused SetCommState with what was asked and what the port kept.
void note_state_refused(HANDLE h, DWORD code, const DCB &asked)
{
    DCB kept = {};
    kept.DCBlength = sizeof kept;
    const bool known = GetCommState(h, &kept) != 0;
    note_settings_refused(static_cast<int>(code), static_cast<std::int32_t>(asked.BaudRate),
                          asked.ByteSize, known ? static_cast<std::int32_t>(kept.BaudRate) : 0,
                          known ? kept.ByteSize : 0);
}

// What a port whose state reads back as now kept of asked. Windows cannot
// tell a line from none (under Wine a pseudo-terminal keeps 8 data bits),
// so every port is judged.
kept_settings kept_of(const DCB &asked, const DCB &now)
{
    kept_settings kept = {0, 0, false};
    if (now.ByteSize != asked.ByteSize) {
        kept.data_bits = now.ByteSize;
        kept.asked_data_bits = asked.ByteSize;
    }
    // CTS holding back the output is what keeps a fast line from losing
    // data; RTS is not judged, since Wine reports RTS_CONTROL_ENABLE for a
    // handshake it keeps.
    kept.no_handshake = !now.fOutxCtsFlow;
    return kept;
}

// Whether the driver's own list of rates rules out baud_rate before
// anything is applied. A driver that makes any rate says BAUD_USER; one
// that does not flags each rate it makes (Wine's leaves out 7200, 14400
// and every rate not in its list). A rate within the tolerance of a
// flagged one is left to the read-back; a driver that states no rates
// rules out none.
bool rate_ruled_out(HANDLE h, std::int32_t baud_rate)
{
    static const struct {
        std::int32_t rate;
        DWORD flag;
    } flagged[] = {{75, BAUD_075},       {110, BAUD_110},       {150, BAUD_150},
                   {300, BAUD_300},      {600, BAUD_600},       {1200, BAUD_1200},
                   {1800, BAUD_1800},    {2400, BAUD_2400},     {4800, BAUD_4800},
                   {7200, BAUD_7200},    {9600, BAUD_9600},     {14400, BAUD_14400},
                   {19200, BAUD_19200},  {38400, BAUD_38400},   {56000, BAUD_56K},
                   {57600, BAUD_57600},  {115200, BAUD_115200}, {128000, BAUD_128K}};
    COMMPROP properties = {};
    if (!GetCommProperties(h, &properties) || properties.dwSettableBaud == 0 ||
        (properties.dwSettableBaud & BAUD_USER) || properties.dwMaxBaud == BAUD_USER)
        return false;
    for (const auto &f : flagged)
        if ((properties.dwSettableBaud & f.flag) && rate_close_enough(baud_rate, f.rate))
            return false;
    return true;
}

// Applies the settings at baud_rate over found, those the port had, then
// reads them back and sets the time-outs. Returns false with the failure
// noted; the port may then hold part of what was asked.
bool apply_settings(HANDLE h, std::int32_t baud_rate, const DCB &found, kept_settings *kept)
{
    DCB dcb = found;
    make_port_settings(&dcb, baud_rate);
    if (!SetCommState(h, &dcb)) {
        note_state_refused(h, GetLastError(), dcb);
        return false;
    }
    // A driver can take a rate that it cannot make without a word (Wine
    // leaves a pseudo-terminal at 38400 for a rate it has no name for), so
    // the state is read back. A rate it does not make refuses the port;
    // data bits and handshake it kept are told, not refused.
    DCB now = dcb;
    if (!GetCommState(h, &now)) {
        note_failure(cause_system, GetLastError());
        return false;
    }
    if (!rate_close_enough(baud_rate, now.BaudRate)) {
        note_rate_refused(ERROR_INVALID_PARAMETER, baud_rate, now.BaudRate);
        return false;
    }
    *kept = kept_of(dcb, now);
    COMMTIMEOUTS t = port_timeouts();
    if (!SetCommTimeouts(h, &t)) {
        note_failure(cause_system, GetLastError());
        return false;
    }
    return true;
}

}  // namespace

bool configure_port(HANDLE h, std::int32_t baud_rate, kept_settings *kept)
{
    DCB found = {};
    found.DCBlength = sizeof found;
    COMMTIMEOUTS found_timeouts = {};
    if (!GetCommState(h, &found) || !GetCommTimeouts(h, &found_timeouts)) {
        note_failure(cause_system, GetLastError());
        return false;
    }
    if (baud_rate <= 0 || rate_ruled_out(h, baud_rate)) {
        note_rate_refused(ERROR_INVALID_PARAMETER, baud_rate,
                          static_cast<std::int32_t>(found.BaudRate));
        return false;
    }
    if (apply_settings(h, baud_rate, found, kept)) return true;
    // A refused open leaves the port as it was found, as far as the driver
    // can say it; the failure noted stays the one to tell. SetCommState,
    // SetCommTimeouts: BOOL, not checked, since nothing more can be done.
    SetCommState(h, &found);
    SetCommTimeouts(h, &found_timeouts);
    return false;
}

void end_input_on_silence(HANDLE h)
{
    COMMTIMEOUTS t = {};
    if (!GetCommTimeouts(h, &t)) return;
    t.ReadTotalTimeoutConstant = quiet_end_ms;
    SetCommTimeouts(h, &t);
}
