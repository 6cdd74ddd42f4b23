// Register map of the simulated camera: GigE Vision bootstrap registers and the device's own
// feature registers (the addresses its GenICam description points at).
#pragma once

#include <cstdint>

namespace corvisk::sim::reg {

// GVCP command / acknowledge codes the device understands.
constexpr uint16_t kDiscoveryCmd = 0x0002;
constexpr uint16_t kForceIpCmd = 0x0004;
constexpr uint16_t kPacketResendCmd = 0x0040;
constexpr uint16_t kReadRegCmd = 0x0080;
constexpr uint16_t kWriteRegCmd = 0x0082;
constexpr uint16_t kReadMemCmd = 0x0084;
constexpr uint16_t kWriteMemCmd = 0x0086;
constexpr uint16_t kPendingAck = 0x0089;

// GVCP status codes the device answers with.
constexpr uint16_t kSuccess = 0x0000;
constexpr uint16_t kNotImplemented = 0x8001;
constexpr uint16_t kInvalidParameter = 0x8002;
constexpr uint16_t kInvalidAddress = 0x8003;
constexpr uint16_t kWriteProtect = 0x8004;
constexpr uint16_t kBadAlignment = 0x8005;
constexpr uint16_t kAccessDenied = 0x8006;
constexpr uint16_t kPacketUnavailable = 0x800C;
constexpr uint16_t kInvalidHeader = 0x800E;

// Largest READMEM / WRITEMEM data and READREG / WRITEREG counts: what fits a 576-byte GVCP packet.
constexpr uint32_t kMaxMemBytes = 536;
constexpr uint32_t kMaxRegs = 135;

// Bootstrap registers.
constexpr uint32_t kVersion = 0x0000;
constexpr uint32_t kDeviceMode = 0x0004;
constexpr uint32_t kMacHigh = 0x0008;
constexpr uint32_t kMacLow = 0x000C;
constexpr uint32_t kIpConfigSupported = 0x0010;
constexpr uint32_t kIpConfigCurrent = 0x0014;
constexpr uint32_t kCurrentIp = 0x0024;
constexpr uint32_t kCurrentSubnet = 0x0034;
constexpr uint32_t kCurrentGateway = 0x0044;
constexpr uint32_t kManufacturer = 0x0048;      // 32 bytes
constexpr uint32_t kModel = 0x0068;             // 32 bytes
constexpr uint32_t kDeviceVersion = 0x0088;     // 32 bytes
constexpr uint32_t kManufacturerInfo = 0x00A8;  // 48 bytes
constexpr uint32_t kSerial = 0x00D8;            // 16 bytes
constexpr uint32_t kUserName = 0x00E8;          // 16 bytes, writable
constexpr uint32_t kDiscoveryBlockSize = 0x00F8;
constexpr uint32_t kFirstUrl = 0x0200;   // 512 bytes
constexpr uint32_t kSecondUrl = 0x0400;  // 512 bytes
constexpr uint32_t kUrlSize = 512;
constexpr uint32_t kNetworkInterfaces = 0x0600;
constexpr uint32_t kPersistentIp = 0x064C;
constexpr uint32_t kPersistentSubnet = 0x065C;
constexpr uint32_t kPersistentGateway = 0x066C;
constexpr uint32_t kLinkSpeed = 0x0670;
constexpr uint32_t kMessageChannels = 0x0900;
constexpr uint32_t kStreamChannels = 0x0904;
constexpr uint32_t kGvspCapability = 0x092C;
constexpr uint32_t kMessageCapability = 0x0930;
constexpr uint32_t kGvcpCapability = 0x0934;
constexpr uint32_t kHeartbeatTimeout = 0x0938;
constexpr uint32_t kTickFreqHigh = 0x093C;
constexpr uint32_t kTickFreqLow = 0x0940;
constexpr uint32_t kTimestampControl = 0x0944;
constexpr uint32_t kTimestampHigh = 0x0948;
constexpr uint32_t kTimestampLow = 0x094C;
constexpr uint32_t kDiscoveryAckDelay = 0x0950;
constexpr uint32_t kGvcpConfig = 0x0954;
constexpr uint32_t kPendingTimeout = 0x0958;
constexpr uint32_t kGvspConfig = 0x0960;
constexpr uint32_t kCcp = 0x0A00;
constexpr uint32_t kPrimaryPort = 0x0A04;
constexpr uint32_t kPrimaryIp = 0x0A14;

// Stream channel n registers: base + 0x40 * n.
constexpr uint32_t kScp = 0x0D00;
constexpr uint32_t kScps = 0x0D04;
constexpr uint32_t kScpd = 0x0D08;
constexpr uint32_t kScda = 0x0D18;
constexpr uint32_t kScsp = 0x0D1C;
constexpr uint32_t kScc = 0x0D20;
constexpr uint32_t kChannelStride = 0x40;
constexpr uint32_t kChannelCount = 2;

// Bits.
constexpr uint32_t kCcpExclusive = 0x1;
constexpr uint32_t kCcpControl = 0x2;
constexpr uint32_t kCapUserName = 0x80000000;
constexpr uint32_t kCapSerial = 0x40000000;
constexpr uint32_t kCapExtStatus = 0x00400000;
constexpr uint32_t kCapExtStatus2 = 0x00040000;
constexpr uint32_t kCapPendingAck = 0x00000020;
constexpr uint32_t kCapPacketResend = 0x00000004;
constexpr uint32_t kCapWriteMem = 0x00000002;
constexpr uint32_t kCapConcatenation = 0x00000001;
constexpr uint32_t kGvcpConfigHeartbeatDisable = 0x00000001;
constexpr uint32_t kGvspConfig64BitIds = 0x40000000;
constexpr uint32_t kScpsFireTest = 0x80000000;
constexpr uint32_t kScpsDontFragment = 0x40000000;
constexpr uint32_t kTimestampReset = 0x1;
constexpr uint32_t kTimestampLatch = 0x2;
constexpr uint64_t kTickFrequency = 1000000000;  // timestamps in nanoseconds

// Device feature registers (all 32-bit words, big-endian on the wire unless noted).
constexpr uint32_t kWidth = 0x10000;
constexpr uint32_t kHeight = 0x10004;
constexpr uint32_t kOffsetX = 0x10008;
constexpr uint32_t kOffsetY = 0x1000C;
constexpr uint32_t kPixelFormat = 0x10010;
constexpr uint32_t kSensorWidth = 0x10014;
constexpr uint32_t kSensorHeight = 0x10018;
constexpr uint32_t kWidthMax = 0x1001C;
constexpr uint32_t kHeightMax = 0x10020;
constexpr uint32_t kAcquisitionMode = 0x10024;
constexpr uint32_t kAcquisitionFrameCount = 0x10028;
constexpr uint32_t kAcquisitionStart = 0x1002C;
constexpr uint32_t kAcquisitionStop = 0x10030;
constexpr uint32_t kAcquisitionStatus = 0x10034;
constexpr uint32_t kTestPattern = 0x10038;
constexpr uint32_t kTLParamsLocked = 0x1003C;
constexpr uint32_t kExposureTime = 0x10040;    // 8-byte IEEE double, big-endian (two words)
constexpr uint32_t kFrameRate = 0x10048;       // 4-byte IEEE float, little-endian
constexpr uint32_t kAnalog = 0x1004C;          // little-endian bit fields: GainRaw 0..15, ...
constexpr uint32_t kImageControl = 0x10050;    // big-endian bit fields (StructReg)
constexpr uint32_t kTemperatureRaw = 0x10054;  // 2-byte little-endian signed, tenths of a degree
constexpr uint32_t kWhiteBalanceOffset = 0x10058;  // 4-byte big-endian signed
constexpr uint32_t kUserSetSelector = 0x1005C;     // 0 Default (factory, read-only), 1 UserSet1
constexpr uint32_t kUserSetLoad = 0x10060;         // write 1: load the selected set
constexpr uint32_t kUserSetSave = 0x10064;         // write 1: save into the selected set
constexpr uint32_t kUserSetDefault = 0x10068;      // the set a power-up would load
// Bytes per second the stream may carry, 0 = unlimited; described as DeviceLinkThroughputLimit
// only when the camera is started with a limit.
constexpr uint32_t kThroughputLimit = 0x1006C;
constexpr uint32_t kFeatureEnd = 0x10070;

// The GenICam description lives here in device memory.
constexpr uint32_t kXmlBase = 0x00100000;

}  // namespace corvisk::sim::reg
