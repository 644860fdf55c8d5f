// The DFU connection: device table, open by location, vendor requests, close. One connection per
// process; nonzero = success.
#pragma once
#include <cstdint>

int DFU_ListDevice();
int DFU_OpenDevice(int index);
int DFU_OpenByLocationInfo(const wchar_t* location);
int DFU_Vendorreqget(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buffer, uint16_t length);
int DFU_Vendorreqset(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, const uint8_t* buffer,
                     uint16_t length);
void DFU_Close();

// The result of the last vendor request: the number of bytes it moved (0 or more), or the negative
// error it ended with. DFU_Vendorreqget/-set report a short transfer as success; callers that must
// not accept one compare this with the length they asked for.
int DFU_LastTransferLength();
