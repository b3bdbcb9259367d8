#include "serial/telnet_codec.h"

namespace telnet {

QByteArray escape(const QByteArray& data)
{
    if (!data.contains(char(kIac)))
        return data;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (char c : data) {
        out.append(c);
        if (uint8_t(c) == kIac)
            out.append(c);
    }
    return out;
}

QByteArray com_port_command(uint8_t command, const QByteArray& value)
{
    QByteArray out;
    out.append(char(kIac)).append(char(kSb)).append(char(kComPort)).append(char(command));
    out.append(escape(value));
    out.append(char(kIac)).append(char(kSe));
    return out;
}

QByteArray set_baud_rate(uint32_t rate)
{
    const char value[4] = {char(rate >> 24), char(rate >> 16), char(rate >> 8), char(rate)};
    return com_port_command(com::kSetBaudRate, QByteArray(value, 4));
}

uint32_t value_u32(const QByteArray& value)
{
    if (value.size() != 4)
        return 0;
    return uint32_t(uint8_t(value[0])) << 24 | uint32_t(uint8_t(value[1])) << 16 | uint32_t(uint8_t(value[2])) << 8 |
           uint32_t(uint8_t(value[3]));
}

bool Decoder::feed(const char* bytes, int len, QByteArray* data, QVector<Command>* commands)
{
    for (int i = 0; i < len && fault_.isEmpty(); ++i) {
        const uint8_t b = uint8_t(bytes[i]);
        switch (state_) {
        case State::Data:
            if (b == kIac) {
                state_ = State::Iac;
            } else {
                data->append(char(b));
                command_run_ = 0;
            }
            break;
        case State::Iac:
            if (b == kIac) {
                data->append(char(b));
                command_run_ = 0;
                state_ = State::Data;
            } else if (b == kSb) {
                sub_.clear();
                state_ = State::Sub;
            } else if (b >= kWill && b <= kDont) {
                verb_ = b;
                state_ = State::Verb;
            } else {
                ++command_run_;
                state_ = State::Data;  // NOP, GA and the like carry nothing for us
            }
            break;
        case State::Verb:
            commands->append(Command{verb_, b, QByteArray()});
            ++command_run_;
            state_ = State::Data;
            break;
        case State::Sub:
            if (b == kIac)
                state_ = State::SubIac;
            else
                sub_.append(char(b));
            break;
        case State::SubIac:
            if (b == kIac) {
                sub_.append(char(b));
                state_ = State::Sub;
            } else {
                // IAC SE ends it; any other command inside is a broken
                // subnegotiation, taken as ended all the same.
                if (!sub_.isEmpty())
                    commands->append(Command{kSb, uint8_t(sub_[0]), sub_.mid(1)});
                sub_.clear();
                ++command_run_;
                state_ = State::Data;
            }
            break;
        }
        if (sub_.size() > kMaxSubnegotiation)
            fault_ = QStringLiteral("the server sent a telnet subnegotiation longer than %1 bytes").arg(kMaxSubnegotiation);
        else if (command_run_ > kMaxCommandRun)
            fault_ = QStringLiteral("the server sent more than %1 telnet commands without data").arg(kMaxCommandRun);
    }
    if (!fault_.isEmpty())
        sub_.clear();
    return fault_.isEmpty();
}

bool Options::wanted_here(uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

bool Options::wanted_there(uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead;
}

QByteArray Options::offer()
{
    QByteArray out;
    for (uint8_t option : {kComPort, kBinary, kSuppressGoAhead}) {
        out.append(char(kIac)).append(char(kWill)).append(char(option));
        asked_local_[option] = true;
    }
    for (uint8_t option : {kBinary, kSuppressGoAhead}) {
        out.append(char(kIac)).append(char(kDo)).append(char(option));
        asked_remote_[option] = true;
    }
    return out;
}

QByteArray Options::answer(uint8_t verb, uint8_t option)
{
    auto reply = [option](uint8_t v) { return QByteArray().append(char(kIac)).append(char(v)).append(char(option)); };
    switch (verb) {
    case kDo: {
        const bool asked = asked_local_[option];
        asked_local_[option] = false;
        if (local_[option])
            return {};
        if (!wanted_here(option))
            return reply(kWont);
        local_[option] = true;
        return asked ? QByteArray() : reply(kWill);
    }
    case kDont: {
        // A refusal of an offer is answered by nothing.
        asked_local_[option] = false;
        if (option == kComPort)
            com_refused_ = true;
        if (!local_[option])
            return {};
        local_[option] = false;
        return reply(kWont);
    }
    case kWill: {
        const bool asked = asked_remote_[option];
        asked_remote_[option] = false;
        if (remote_[option])
            return {};
        if (!wanted_there(option))
            return reply(kDont);
        remote_[option] = true;
        return asked ? QByteArray() : reply(kDo);
    }
    case kWont: {
        asked_remote_[option] = false;
        if (!remote_[option])
            return {};
        remote_[option] = false;
        return reply(kDont);
    }
    default:
        return {};
    }
}

}  // namespace telnet
