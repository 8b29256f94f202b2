// The host's Modbus device: register requests and the reply area.
#pragma once

#include <cstdint>
#include <iostream>

#include "host/smd_spdevice.h"

class SPModbus : public SMDSPDevice {
public:
    // Kind of the Modbus transaction in progress; the values are the device's.
    typedef std::int32_t tab_type;

    // Words in reply_words: room for the largest Modbus register read (125).
    static constexpr int kReplyWordCount = 128;

    SPModbus();
    ~SPModbus() override;

    bool InitSetting(const Json::Value& settings) override;

    // ABI: virtual operations continue the slot order of SMDSPDevice.

    // Called by the host once the data of a reply is in reply_words.
    virtual int process_payload(tab_type kind, unsigned int length) = 0;

    // Default error hook: one diagnostic line, no state touched. The line
    // goes out as one write, so it never interleaves with another thread's.
    virtual int on_error()
    {
        static constexpr char kLine[] = "SPModbus get error\n";
        std::cout.write(kLine, sizeof kLine - 1);
        std::cout.flush();
        return 0;
    }

    // Requests are queued; the host performs the exchange after the caller
    // returns, fills reply_words and calls process_payload.
    int modbus_read_registers(int address, int count);
    int modbus_write_register(int address, int value);
    int modbus_write_registers(int address, int count, const unsigned short* values);

    tab_type tab = 0;
    std::uint8_t modbus_option = 0;
    int baud_rate = 0;
    std::uint16_t reply_words[kReplyWordCount] = {};
};
