#pragma once

// What a button of the window does, as a value: the window's operation_ended
// signal says which operation ended and how, as a number, never as a log text.

#include <QMetaType>

// One per button (Open Comm counts twice: it opens or closes). The result an
// operation ends with is the code of the procedure it ran, or, when it ended
// before any, one of operation_result below:
//   OpenPort         operation_result: kOk (chip identified), kOpenFailed, kNoChip
//   ClosePort        operation_result::kOk
//   BootMode1/2      operation_result: kOk, kOpenFailed
//   InputMcuImage    operation_result: kOk, kCancelled, kReadFailed
//   UpdateMcu        kNoFileName, kReadFailed, else mcu_update_result (the VQ210
//                    Uart0 keeps its application in the external flash:
//                    flash_update_result)
//   CheckMcu         kPortClosed, kNoImage, else mcu_crc_result (VQ210 Uart0:
//                    flash_crc_result)
//   InputFlashImage  kOk, kCancelled, kReadFailed, kImageRejected
//   UpdateFlash      kNoFileName, kReadFailed, kImageRejected, else flash_update_result
//   FlashInfo        flash_id_result: kOk (a catalogued flash identified), else
//                    the second attempt's (kNotCatalogued: read, not listed)
//   CheckFlash       kPortClosed, kNoFlash, kFlashModeFailed, kImageTooLarge,
//                    kNoImage, else flash_crc_result
//   RunApp           kPortClosed, kOk (the run frame was sent)
// Every operation reports 0 for success.
enum class Operation {
    OpenPort,
    ClosePort,
    BootMode1,
    BootMode2,
    InputMcuImage,
    UpdateMcu,
    CheckMcu,
    InputFlashImage,
    UpdateFlash,
    FlashInfo,
    CheckFlash,
    RunApp,
};
Q_DECLARE_METATYPE(Operation)  // for queued connections, QVariant and test data

// How an operation ends when no procedure's own code tells it. Far from the
// procedures' codes (small numbers), so that no two meanings share a value
// within one operation.
namespace operation_result {
enum : int {
    kOk = 0,
    kPortClosed = -100,      // "Please open the port!"
    kOpenFailed = -101,      // the port would not open ("Open fail")
    kNoChip = -102,          // no catalogued model answered: "unknown", the port left open
    kNoFileName = -103,      // no image file named
    kReadFailed = -104,      // the image file could not be read
    kImageRejected = -105,   // the flash image's own check refused it; its box says why
    kNoImage = -106,         // no image (or one too short) to check against
    kImageTooLarge = -107,   // the image is larger than the identified flash
    kCancelled = -108,       // the file dialog was answered with no file
    kNoFlash = -109,         // no catalogued external flash identified (Check Flash)
    kFlashModeFailed = -110, // the flash mode the flash needs could not be set
};
}  // namespace operation_result
