#pragma once

// The telnet side of RFC 2217: the byte stream split into data and telnet
// commands, the data escaped for the wire, the option negotiation a client
// of a serial-port server answers, and the serial-port control messages.
// No socket here, so every rule is checked with tables of bytes.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

namespace telnet {

enum : uint8_t { kSe = 240, kSb = 250, kWill = 251, kWont = 252, kDo = 253, kDont = 254, kIac = 255 };
enum : uint8_t { kBinary = 0, kSuppressGoAhead = 3, kComPort = 44 };

// COM-PORT-OPTION commands of the client; the server confirms each with the
// same command plus 100 and the value it put in force.
namespace com {
enum : uint8_t { kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kPurgeData = 12 };
enum : uint8_t { kParityNone = 1, kStopBitsOne = 1, kPurgeBoth = 3 };
constexpr uint8_t kServerOffset = 100;
}  // namespace com

// 0xFF in the data goes out doubled.
QByteArray escape(const QByteArray& data);
// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped.
QByteArray com_port_command(uint8_t command, const QByteArray& value);
QByteArray set_baud_rate(uint32_t rate);  // the rate big-endian, as the RFC has it
uint32_t value_u32(const QByteArray& value);  // a confirmed rate; 0 when it is not 4 bytes

struct Command {
    uint8_t verb = 0;    // kWill, kWont, kDo, kDont, or kSb for a subnegotiation
    uint8_t option = 0;
    QByteArray value;    // of a subnegotiation, after its option byte, unescaped
};

// What a server may send that this end holds before it can act on it. A
// serial-port server's subnegotiations are a few bytes and its negotiation
// a few dozen commands, and no reply of the boot loader comes near the data
// bound; past these the server is broken or hostile, and holding its bytes
// would let it take the programming PC's memory.
constexpr int kMaxSubnegotiation = 4096;  // bytes of one IAC SB ... IAC SE
constexpr int kMaxCommandRun = 1024;      // telnet commands with no data byte between
constexpr int kMaxUnreadData = 16384;     // data bytes received and not yet read

// Splits what the server sent into data and commands; a command cut by a
// chunk boundary is completed by the next chunk.
class Decoder {
public:
    // False once the server broke a bound: from then on nothing more is
    // decoded and fault() says, in one line, what it sent.
    bool feed(const char* bytes, int len, QByteArray* data, QVector<Command>* commands);
    const QString& fault() const { return fault_; }

private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    State state_ = State::Data;
    uint8_t verb_ = 0;
    QByteArray sub_;
    int command_run_ = 0;
    QString fault_;
};

// The client's side of the option negotiation: it offers binary both ways,
// no go-ahead both ways and the serial-port option, agrees to those and
// refuses everything else, and never answers a request that changes
// nothing (so two ends cannot loop).
class Options {
public:
    QByteArray offer();  // what the client sends once connected
    QByteArray answer(uint8_t verb, uint8_t option);
    bool com_port_agreed() const { return local_[kComPort]; }
    bool com_port_refused() const { return com_refused_; }

private:
    static bool wanted_here(uint8_t option);   // options this end does
    static bool wanted_there(uint8_t option);  // options the server may do
    bool local_[256] = {};         // in force on this side (WILL agreed)
    bool remote_[256] = {};        // in force on the server's side (DO agreed)
    bool asked_local_[256] = {};   // WILL sent, no answer yet
    bool asked_remote_[256] = {};  // DO sent, no answer yet
    bool com_refused_ = false;
};

}  // namespace telnet
