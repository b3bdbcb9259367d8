#pragma once

// Operator texts used by more than one procedure. Operators' written
// instructions and line scripts match on them, spelling included: change
// none of them.

namespace texts {
inline constexpr char kTimeOver[] = "Time over!";
inline constexpr char kPleaseOpenPort[] = "Please open the port!";
inline constexpr char kOpenComm[] = "Open Comm";
inline constexpr char kCloseComm[] = "Close Comm";
inline constexpr char kOpenFail[] = "Open fail";
inline constexpr char kConnectWrongLetter[] = "Connect device,and return error command";
// Spelling as the boot loader's documents have it.
inline constexpr char kMcuWrongLetter[] = "Erease mcu flash,and return error command";
inline constexpr char kReadFail[] = "Read fail,please check the path!";
inline constexpr char kImageOverFlashSize[] = "The file is over than the flash ic's size";
inline constexpr char kImageOverMcuSize[] = "This file is over than mcu to update!";
inline constexpr char kEndUpdateFlash[] = "End to update flash";
inline constexpr char kUpdateFlashOk[] = "Update flash is OK!!!!!!";
inline constexpr char kUpdateFlashFail[] = "Update flash is fail.....";
// The refusal of a flash image that fails its own checks; the image tools
// add the reason behind a colon.
inline constexpr char kIllegalDocument[] = "Illegal document";
}  // namespace texts
