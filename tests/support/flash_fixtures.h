#pragma once

// Flash images, catalogues, and a window and a session that load them, for
// the tests of the external flash.

#include <QFile>
#include <QtTest>

#include "session_rig.h"
#include "sim_session.h"
#include "sim_wire.h"

namespace flash_fixtures {

// The simulator's own CRC: the expectations do not come from the tool.
inline uint32_t crc(const QByteArray& bytes, int len = -1)
{
    return sim_wire::crc32(bytes, len);
}

constexpr uint32_t kVq4410 = 0x19714410;
constexpr uint32_t kVq230 = 0x19712300;
constexpr uint32_t kVq340 = 0x19713400;
constexpr uint32_t kVq350A = 0x1971350A;
constexpr uint32_t kVq210Uart0 = 0x19710210;

constexpr uint32_t kId16M = 0x00EF4018;
constexpr uint32_t kId32M = 0x00AB4019;
constexpr uint32_t kId128M = 0x00AB4020;
constexpr uint32_t kId512K = 0x00AB4021;
constexpr uint32_t kId64M = 0x00AB4022;
constexpr uint32_t kId48M = 0x00AB4023;
constexpr uint32_t kUnlisted = 0x11223344;

const char kCatalogue[] =
    "[FLASH]\r\n"
    "0x00EF4018,1024,16384,W16M,\r\n"
    "0x00AB4019,2048,16384,SIM32M,\r\n"
    "0x00AB4020,8192,16384,SIM128M,\r\n"
    "0x00AB4021,1024,512,SMALL512K,\r\n"
    "0x00AB4022,4096,16384,SIM64M,\r\n"
    "0x00AB4023,3072,16384,SIM48M,\r\n";

SimConfig chip(uint32_t chip_id, uint32_t id0 = kId16M, uint32_t id1 = kId16M, uint32_t size = 16 * kMiB)
{
    SimConfig c;
    c.chip_id = chip_id;
    c.flash_id = {id0, id1};
    c.flash_size = size;
    c.progress_reports = 0;
    return c;
}

QByteArray pattern(int n, int seed = 7)
{
    QByteArray b(n, '\0');
    uint32_t x = 0x12345678u + uint32_t(seed);
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 24);
    }
    return b;
}

QByteArray be32(uint32_t v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (24 - 8 * i));
    return b;
}

// A .bin with an image info block: its length, then flash_crc and its complement.
QByteArray with_info(QByteArray image, uint32_t length, uint32_t flash_crc)
{
    sim_wire::set_u32(image, 372, length);
    sim_wire::set_u32(image, 376, flash_crc);
    sim_wire::set_u32(image, 380, ~flash_crc);
    return image;
}

// A .diff: header words as given, with both integrity CRCs right unless spoilt.
QByteArray diff_file(const QByteArray& blocks, uint32_t dblk_lenght, bool spoil_header = false,
                     bool spoil_blocks = false, uint32_t dblk_number = 1)
{
    QByteArray header = be32(0x0102) + be32(dblk_lenght) + be32(crc(blocks) ^ (spoil_blocks ? 1u : 0u)) +
                        be32(dblk_number) + be32(0x300000) + be32(0xCAFEF00D) + be32(0x80000001);
    header += be32(crc(header) ^ (spoil_header ? 1u : 0u));
    return header + blocks;
}

// Where each of the frames was to be written.
QVector<uint32_t> addresses(const QVector<SimFrame>& frames)
{
    QVector<uint32_t> out;
    for (const SimFrame& f : frames)
        out.append(f.address);
    return out;
}

// One block record of a .diff: address, length, CRC, a word not read, data.
QByteArray diff_record(uint32_t address, const QByteArray& data, uint32_t record_crc)
{
    return be32(address) + be32(uint32_t(data.size())) + be32(record_crc) + be32(0) + data;
}

class FlashSession : public SimSession {
public:
    explicit FlashSession(const SimConfig& config, bool catalogue = true) : SimSession(config)
    {
        if (catalogue)
            write("Flash.ini", kCatalogue);
    }

    void load(const QString& path)
    {
        dialogs.file_answers << path;
        click("pushButton_InputFlashCode");
    }
    QString load_image(const QString& name, const QByteArray& bytes)
    {
        const QString path = write(name, bytes);
        load(path);
        return path;
    }
};

// The session alone, over the same catalogue and memories.
class FlashRig : public SessionRig {
public:
    explicit FlashRig(const SimConfig& config, bool catalogue = true) : SessionRig(config)
    {
        if (catalogue)
            write("Flash.ini", kCatalogue);
    }
    // The image file taken as Input File takes it; the updates read it again.
    QString load_image(const QString& name, const QByteArray& bytes)
    {
        image_path = write(name, bytes);
        session.load_flash_image(image_path);
        return image_path;
    }
    UpdateReport update_flash() { return session.update_flash(image_path, options()); }
    int flash_info() { return session.flash_info(); }

    QString image_path;
};

}  // namespace flash_fixtures
