#pragma once

#include <QtGlobal>

// The largest flash the tool can program. Flash.ini states a size as a
// signed 32-bit product and flashes come in powers of two, so 1 GiB is the
// largest it can name; the boot loader takes every flash from 128 MiB up in
// NAND mode (flash_mode_for_update). No image file larger than this is read.
constexpr qint64 kLargestFlashBytes = qint64(1) << 30;

// No image file larger than any flash the tool can program is read.
constexpr qint64 kMaxImageFileBytes = kLargestFlashBytes;
