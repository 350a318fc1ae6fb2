// What the "Select Port" dialog decides, apart from how a toolkit draws it.
//
// The serial port component asks for a port when it opens with port number 0 (SetPortPromptHook
// in com_port.h). The dialog lists the ports COM1..COM50 that exist on this machine, selects the
// first, and ends with the modal result mrOk (the default button) or mrAbort (Cancel); closing it
// from its title bar or with Escape gives mrCancel. Only OK gives the port component a number.
//
// Thread safety: plain functions; PromptPortEntries probes devices and belongs to the thread that
// shows the dialog.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kavo {

// Modal results, numbered as the toolkit of the original tool numbers them.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;

// Highest port number the dialog offers.
constexpr int kPromptMaxPort = 50;

// The dialog is laid out for an 8-point system font. Where the font at hand runs wider, the
// dialog, its bevel, its list and its labels grow by this many pixels (and Cancel moves right), so
// that the two labels, widest text `labelTextWidth` pixels, are not cut.
int PromptExtraWidth(int labelTextWidth);

// The dialog's entries, "COM%d" for each port 1..50 that `available` says exists, in ascending
// order. Each probe may open and close the device.
std::vector<std::string> PromptPortEntries(const std::function<bool(int)>& available);

// The number of an entry: every character after the first three ("COM12" gives 12). Raises
// EConvertError for an empty entry (nothing selected) or one that is not a number.
int ComNumberOfEntry(const std::string& entry);

// What the dialog gives the port component: the selected entry's number after OK, nothing after
// any other result. OK with nothing selected raises EConvertError.
std::optional<int> PromptAnswer(int modalResult, const std::string& selectedEntry);

}  // namespace kavo
