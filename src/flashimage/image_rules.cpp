#include "flashimage/image_rules.h"

#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "protocol/texts.h"

namespace {
constexpr char kDiffSuffix[] = ".diff";
constexpr int kDiffSuffixLen = 5;

const QString kLabelStart = QStringLiteral("Flash code, FileCRC = ");
const QString kLabelFlashCrc = QStringLiteral("  FlashCRC = ");
const QString kLabelLen = QStringLiteral("  Len = ");

uint32_t get_u32be(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

const uint8_t* bytes_of(const QByteArray& b)
{
    return reinterpret_cast<const uint8_t*>(b.constData());
}

void check_plain(const QByteArray& bytes, FlashImageCheck& c)
{
    const ImageInfoBlock info = read_image_info_block(bytes);
    c.has_info = info.valid ? 1 : 0;
    // A file too short for the block has no FlashCRC word; its own CRC stands
    // in, so that the image check accepts nothing the file does not vouch for.
    c.info_crc = info.present ? info.flash_crc : c.crc;
    c.label = kLabelStart + hex32_text(c.crc);
    if (info.valid)
        c.label += kLabelFlashCrc + hex32_text(c.info_crc);
    c.label += kLabelLen + QString::number(c.len);
}

void check_diff(const QByteArray& bytes, FlashImageCheck& c)
{
    c.diff_info = Parse_DiffHeader(bytes);
    c.log_lines = diff_header_log_lines(c.diff_info);

    // The header as parsed: a short file's missing bytes count as 0.
    QByteArray header = bytes.left(kDiffHeaderLen);
    header.append(kDiffHeaderLen - header.size(), '\0');
    c.par_tcrc = boot_crc32(header, kDiffParaCrcSpan);
    if (bytes.size() > kDiffHeaderLen)
        c.blk_tcrc = boot_crc32(bytes_of(bytes) + kDiffHeaderLen, size_t(bytes.size() - kDiffHeaderLen));
    c.log_lines << QStringLiteral("par_tCRC:") + hex32_text(c.par_tcrc)
                << QStringLiteral("blk_tCRC:") + hex32_text(c.blk_tcrc);

    // A file without a whole header cannot vouch for itself.
    c.ok = bytes.size() >= kDiffHeaderLen && c.par_tcrc == c.diff_info[kDiffParaCrc] &&
           c.blk_tcrc == c.diff_info[kDblkCrc];
    if (c.ok)
        c.label = kLabelStart + hex32_text(c.blk_tcrc) + kLabelLen +
                  QString::number(int32_t(c.diff_info[kDblkLenght]));
    else
        c.error = QString::fromLatin1(texts::kIllegalDocument);
}
}  // namespace

bool is_diff_image_name(const QString& name)
{
    return name.right(kDiffSuffixLen) == QLatin1String(kDiffSuffix);
}

ImageInfoBlock read_image_info_block(const QByteArray& file)
{
    ImageInfoBlock info;
    if (file.size() < kImageInfoEnd)
        return info;
    info.present = true;
    info.image_len = get_u32le(file, kImageInfoOffset);
    info.flash_crc = get_u32le(file, kImageInfoOffset + 4);
    info.flash_crc_complement = get_u32le(file, kImageInfoOffset + 8);
    info.valid = info.image_len == uint32_t(file.size()) && info.flash_crc == uint32_t(~info.flash_crc_complement);
    return info;
}

DiffHeader Parse_DiffHeader(const QByteArray& bytes)
{
    uint8_t header[kDiffHeaderLen] = {};
    const int held = qMin(bytes.size(), kDiffHeaderLen);
    for (int i = 0; i < held; ++i)
        header[i] = static_cast<uint8_t>(bytes[i]);
    DiffHeader words{};
    for (int i = 0; i < kDiffHeaderWords; ++i)
        words[size_t(i)] = get_u32be(header + 4 * i);
    return words;
}

QStringList diff_header_log_lines(const DiffHeader& h)
{
    return {
        QStringLiteral("file_diff_info.diff_index :") + hex32_text(h[kDiffIndex]),
        QStringLiteral("file_diff_info.dblk_lenght:") + QString::number(h[kDblkLenght]),
        QStringLiteral("file_diff_info.dblk_crc   :") + hex32_text(h[kDblkCrc]),
        QStringLiteral("file_diff_info.dblk_number:") + hex32_text(h[kDblkNumber]),
        QStringLiteral("file_diff_info.nFile_lenght:") + QString::number(h[kNFileLenght]),
        QStringLiteral("file_diff_info.nFile_crc  :") + hex32_text(h[kNFileCrc]),
        QStringLiteral("file_diff_info.nFile_ui_crc:") + hex32_text(h[kNFileUiCrc]),
        QStringLiteral("file_diff_info.diff_para_crc:") + hex32_text(h[kDiffParaCrc]),
    };
}

FlashImageCheck check_flash_image(const QByteArray& bytes, const QString& file_name)
{
    FlashImageCheck c;
    c.is_diff = is_diff_image_name(file_name);
    c.len = bytes.size();
    c.crc = boot_crc32(bytes);
    if (c.is_diff)
        check_diff(bytes, c);
    else
        check_plain(bytes, c);
    return c;
}

QString illegal_document(const QString& why)
{
    return QString::fromLatin1(texts::kIllegalDocument) + QStringLiteral(": ") + why;
}

QString diff_shorter_than_header(qint64 size)
{
    return illegal_document(QStringLiteral("the file is %1 bytes, shorter than its 32-byte header").arg(size));
}
