// The host's serial-port device: polling, the byte stream and the port.
#pragma once

#include "host/smd_vdevice.h"

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

class SMDSPDevice : public SMDVDevice {
public:
    SMDSPDevice();
    ~SMDSPDevice() override;

    void Reset() override;

    // ABI: virtual operations continue the slot order of SMDVDevice.
    virtual int RefreshStatus();
    virtual int process(unsigned char* data, unsigned int length);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();
};
