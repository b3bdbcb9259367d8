#pragma once

// Operator texts used by more than one procedure. Operators' written
// instructions and line scripts match on them, spelling included: change
// none of them.

namespace texts {
inline constexpr char kTimeOver[] = "Time over!";
inline constexpr char kPleaseOpenPort[] = "Please open the port!";
inline constexpr char kOpenComm[] = "Open Comm";
inline constexpr char kCloseComm[] = "Close Comm";
inline constexpr char kConnectWrongLetter[] = "Connect device,and return error command";
}  // namespace texts
