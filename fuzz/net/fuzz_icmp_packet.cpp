// Feeds arbitrary datagrams to the ICMP decoder, as raw and as datagram sockets read them.
#include "icmpecho.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    platform::TIcmpPacket p;
    const char* d = reinterpret_cast<const char*>(data);
    volatile int keep = 0;
    if (platform::DecodeIcmpPacket(d, int(size), platform::TEchoMethod::Raw, p))
        keep = keep + p.Type + p.Id + p.Seq + int(p.Payload.size());
    if (platform::DecodeIcmpPacket(d, int(size), platform::TEchoMethod::Datagram, p))
        keep = keep + p.Type + p.Id + p.Seq + int(p.Payload.size());
    keep = keep + platform::IcmpChecksum(d, int(size));
    return 0;
}
