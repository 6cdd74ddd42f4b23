// The simulated camera's GenICam device description, kept verbatim in device memory.
#include <string>

#include <fmt/format.h>

#include "actions.hpp"
#include "chunks.hpp"
#include "events.hpp"
#include "file_access.hpp"
#include "gvcp_device.hpp"
#include "pixels/format.hpp"
#include "registers.hpp"

namespace corvisk::sim {

namespace {

// Register addresses here must match registers.hpp.
constexpr char kXml[] = R"XML(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription
    ModelName="SimCam1" VendorName="Corvisk"
    ToolTip="Simulated GigE Vision camera"
    StandardNameSpace="GEV"
    SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
    MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    ProductGuid="6b1e4a52-3c8f-4d5e-9a71-0c2d7f8e1a01"
    VersionGuid="9d3c2b10-5e4f-4a6b-8c7d-1e2f3a4b5c01"
    xmlns="http://www.genicam.org/GenApi/Version_1_1"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
    xsi:schemaLocation="http://www.genicam.org/GenApi/Version_1_1 http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd">

  <Category Name="Root" NameSpace="Standard">
    <pFeature>DeviceControl</pFeature>
    <pFeature>ImageFormatControl</pFeature>
    <pFeature>AcquisitionControl</pFeature>
    <pFeature>AnalogControl</pFeature>
    <pFeature>UserSetControl</pFeature>
    <pFeature>TransportLayerControl</pFeature>
  </Category>

  <Category Name="DeviceControl" NameSpace="Standard">
    <pFeature>DeviceVendorName</pFeature>
    <pFeature>DeviceModelName</pFeature>
    <pFeature>DeviceVersion</pFeature>
    <pFeature>DeviceManufacturerInfo</pFeature>
    <pFeature>DeviceSerialNumber</pFeature>
    <pFeature>DeviceUserID</pFeature>
    <pFeature>DeviceTemperature</pFeature>
  </Category>

  <Category Name="ImageFormatControl" NameSpace="Standard">
    <pFeature>SensorWidth</pFeature>
    <pFeature>SensorHeight</pFeature>
    <pFeature>WidthMax</pFeature>
    <pFeature>HeightMax</pFeature>
    <pFeature>Width</pFeature>
    <pFeature>Height</pFeature>
    <pFeature>OffsetX</pFeature>
    <pFeature>OffsetY</pFeature>
    <pFeature>PixelFormat</pFeature>
    <pFeature>ReverseX</pFeature>
    <pFeature>ReverseY</pFeature>
    <pFeature>TestPattern</pFeature>
    <pFeature>PayloadSize</pFeature>
  </Category>

  <Category Name="AcquisitionControl" NameSpace="Standard">
    <pFeature>AcquisitionMode</pFeature>
    <pFeature>AcquisitionFrameCount</pFeature>
    <pFeature>AcquisitionStart</pFeature>
    <pFeature>AcquisitionStop</pFeature>
    <pFeature>AcquisitionStatus</pFeature>
    <pFeature>AcquisitionFrameRate</pFeature>
    <pFeature>ExposureTime</pFeature>
  </Category>

  <Category Name="AnalogControl" NameSpace="Standard">
    <pFeature>Gain</pFeature>
    <pFeature>GainRaw</pFeature>
    <pFeature>BlackLevel</pFeature>
    <pFeature>GammaEnable</pFeature>
    <pFeature>DigitalShift</pFeature>
    <pFeature>SharpnessOffset</pFeature>
    <pFeature>WhiteBalanceOffset</pFeature>
  </Category>

  <Category Name="UserSetControl" NameSpace="Standard">
    <pFeature>UserSetSelector</pFeature>
    <pFeature>UserSetLoad</pFeature>
    <pFeature>UserSetSave</pFeature>
    <pFeature>UserSetDefault</pFeature>
  </Category>

  <Category Name="TransportLayerControl" NameSpace="Standard">
    <pFeature>PayloadSize</pFeature>
    <pFeature>TLParamsLocked</pFeature>
    <pFeature>GigEVision</pFeature>
  </Category>

  <Category Name="GigEVision" NameSpace="Standard">
    <pFeature>GevVersionMajor</pFeature>
    <pFeature>GevVersionMinor</pFeature>
    <pFeature>GevCurrentIPAddress</pFeature>
    <pFeature>GevCurrentSubnetMask</pFeature>
    <pFeature>GevCurrentDefaultGateway</pFeature>
    <pFeature>GevCurrentIPConfigurationLLA</pFeature>
    <pFeature>GevCurrentIPConfigurationDHCP</pFeature>
    <pFeature>GevCurrentIPConfigurationPersistentIP</pFeature>
    <pFeature>GevPersistentIPAddress</pFeature>
    <pFeature>GevPersistentSubnetMask</pFeature>
    <pFeature>GevPersistentDefaultGateway</pFeature>
    <pFeature>GevHeartbeatTimeout</pFeature>
    <pFeature>GevGVCPPendingAck</pFeature>
    <pFeature>GevTimestampTickFrequency</pFeature>
    <pFeature>GevTimestampControlLatch</pFeature>
    <pFeature>GevTimestampControlReset</pFeature>
    <pFeature>GevTimestampValue</pFeature>
    <pFeature>GevSCPHostPort</pFeature>
    <pFeature>GevSCPSPacketSize</pFeature>
    <pFeature>GevSCPSDoNotFragment</pFeature>
    <pFeature>GevSCPD</pFeature>
    <pFeature>GevSCDA</pFeature>
    <pFeature>GevCCP</pFeature>
  </Category>

  <Port Name="Device" NameSpace="Standard">
    <ToolTip>Port to the GigE Vision device</ToolTip>
  </Port>

  <Group Comment="Device identity">
    <StringReg Name="DeviceVendorName" NameSpace="Standard">
      <Address>0x48</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceModelName" NameSpace="Standard">
      <Address>0x68</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceVersion" NameSpace="Standard">
      <Address>0x88</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceManufacturerInfo" NameSpace="Standard">
      <Address>0xA8</Address>
      <Length>48</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceSerialNumber" NameSpace="Standard">
      <Address>0xD8</Address>
      <Length>16</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceUserID" NameSpace="Standard">
      <Address>0xE8</Address>
      <Length>16</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
  </Group>

  <Group Comment="Temperature">
    <Converter Name="DeviceTemperature" NameSpace="Standard">
      <ToolTip>Sensor temperature in degrees Celsius</ToolTip>
      <FormulaTo>FROM * 10</FormulaTo>
      <FormulaFrom>TO / 10.0</FormulaFrom>
      <pValue>DeviceTemperatureRaw</pValue>
      <Unit>C</Unit>
    </Converter>
    <Integer Name="DeviceTemperatureRaw">
      <Visibility>Invisible</Visibility>
      <pValue>DeviceTemperatureRawReg</pValue>
    </Integer>
    <IntReg Name="DeviceTemperatureRawReg">
      <Address>0x10054</Address>
      <Length>2</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Signed</Sign>
      <Endianess>LittleEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="Image format">
    <Group Comment="Sensor">
      <Integer Name="SensorWidth" NameSpace="Standard">
        <pValue>SensorWidthReg</pValue>
      </Integer>
      <IntReg Name="SensorWidthReg">
        <Address>0x10014</Address>
        <Length>4</Length>
        <AccessMode>RO</AccessMode>
        <pPort>Device</pPort>
        <Cachable>WriteThrough</Cachable>
        <Sign>Unsigned</Sign>
        <Endianess>BigEndian</Endianess>
      </IntReg>
      <Integer Name="SensorHeight" NameSpace="Standard">
        <pValue>SensorHeightReg</pValue>
      </Integer>
      <IntReg Name="SensorHeightReg">
        <Address>0x10018</Address>
        <Length>4</Length>
        <AccessMode>RO</AccessMode>
        <pPort>Device</pPort>
        <Cachable>WriteThrough</Cachable>
        <Sign>Unsigned</Sign>
        <Endianess>BigEndian</Endianess>
      </IntReg>
    </Group>

    <Integer Name="WidthMax" NameSpace="Standard">
      <pValue>WidthMaxReg</pValue>
    </Integer>
    <IntReg Name="WidthMaxReg">
      <Address>0x1001C</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <pInvalidator>OffsetXReg</pInvalidator>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="HeightMax" NameSpace="Standard">
      <pValue>HeightMaxReg</pValue>
    </Integer>
    <IntReg Name="HeightMaxReg">
      <Address>0x10020</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <pInvalidator>OffsetYReg</pInvalidator>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>

    <Integer Name="Width" NameSpace="Standard">
      <ToolTip>Width of the image in pixels</ToolTip>
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>WidthReg</pValue>
      <Min>16</Min>
      <pMax>WidthMax</pMax>
      <Inc>4</Inc>
    </Integer>
    <IntReg Name="WidthReg">
      <Address>0x10000</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="Height" NameSpace="Standard">
      <ToolTip>Height of the image in lines</ToolTip>
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>HeightReg</pValue>
      <Min>2</Min>
      <pMax>HeightMax</pMax>
      <Inc>2</Inc>
    </Integer>
    <IntReg Name="HeightReg">
      <Address>0x10004</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="OffsetX" NameSpace="Standard">
      <pValue>OffsetXReg</pValue>
      <Min>0</Min>
      <pMax>OffsetXMax</pMax>
      <Inc>4</Inc>
    </Integer>
    <IntSwissKnife Name="OffsetXMax">
      <pVariable Name="SW">SensorWidth</pVariable>
      <pVariable Name="W">Width</pVariable>
      <Formula>SW - W</Formula>
    </IntSwissKnife>
    <IntReg Name="OffsetXReg">
      <Address>0x10008</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="OffsetY" NameSpace="Standard">
      <pValue>OffsetYReg</pValue>
      <Min>0</Min>
      <pMax>OffsetYMax</pMax>
      <Inc>2</Inc>
    </Integer>
    <IntSwissKnife Name="OffsetYMax">
      <pVariable Name="SH">SensorHeight</pVariable>
      <pVariable Name="H">Height</pVariable>
      <Formula>SH - H</Formula>
    </IntSwissKnife>
    <IntReg Name="OffsetYReg">
      <Address>0x1000C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>

    <Enumeration Name="PixelFormat" NameSpace="Standard">
      <ToolTip>Format of the pixels provided by the device</ToolTip>
      <pIsLocked>TLParamsLocked</pIsLocked>
<!--PIXEL-FORMAT-ENTRIES-->      <pValue>PixelFormatReg</pValue>
    </Enumeration>
    <IntReg Name="PixelFormatReg">
      <Address>0x10010</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>

    <Enumeration Name="TestPattern" NameSpace="Standard">
      <EnumEntry Name="Black" NameSpace="Standard">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="White" NameSpace="Standard">
        <Value>1</Value>
      </EnumEntry>
      <EnumEntry Name="GreyHorizontalRamp" NameSpace="Standard">
        <Value>2</Value>
      </EnumEntry>
      <EnumEntry Name="GreyVerticalRamp" NameSpace="Standard">
        <Value>3</Value>
      </EnumEntry>
      <EnumEntry Name="GreyDiagonalRampMoving" NameSpace="Standard">
        <Value>4</Value>
      </EnumEntry>
      <EnumEntry Name="FrameCounter" NameSpace="Custom">
        <Value>5</Value>
      </EnumEntry>
      <EnumEntry Name="ChannelRamps" NameSpace="Custom">
        <Value>6</Value>
      </EnumEntry>
      <pValue>TestPatternReg</pValue>
    </Enumeration>
    <IntReg Name="TestPatternReg">
      <Address>0x10038</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>

    <IntSwissKnife Name="PayloadSize" NameSpace="Standard">
      <ToolTip>Bytes of image data per frame</ToolTip>
      <pVariable Name="W">Width</pVariable>
      <pVariable Name="H">Height</pVariable>
      <pVariable Name="PF">PixelFormat</pVariable>
      <pVariable Name="CHUNKS">ChunkPayloadBytesReg</pVariable>
      <Formula>(W * H * ((PF &gt;&gt; 16) &amp; 0xFF) + 7) / 8 + ((CHUNKS &gt;&gt; 30) = 3) * (CHUNKS &amp; 0xFFFF)</Formula>
    </IntSwissKnife>

    <Boolean Name="ReverseX" NameSpace="Standard">
      <pValue>ReverseXEntry</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <Boolean Name="ReverseY" NameSpace="Standard">
      <pValue>ReverseYEntry</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <Integer Name="DigitalShift" NameSpace="Custom">
      <pValue>DigitalShiftEntry</pValue>
      <Min>0</Min>
      <Max>15</Max>
    </Integer>
    <Integer Name="SharpnessOffset" NameSpace="Custom">
      <pValue>SharpnessOffsetEntry</pValue>
      <Min>-128</Min>
      <Max>127</Max>
    </Integer>
    <StructReg Comment="ImageControl">
      <Address>0x10050</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>BigEndian</Endianess>
      <StructEntry Name="ReverseXEntry">
        <Bit>31</Bit>
      </StructEntry>
      <StructEntry Name="ReverseYEntry">
        <Bit>30</Bit>
      </StructEntry>
      <StructEntry Name="DigitalShiftEntry">
        <LSB>27</LSB>
        <MSB>24</MSB>
      </StructEntry>
      <StructEntry Name="SharpnessOffsetEntry">
        <LSB>15</LSB>
        <MSB>8</MSB>
        <Sign>Signed</Sign>
      </StructEntry>
    </StructReg>
  </Group>

  <Group Comment="Acquisition">
    <Enumeration Name="AcquisitionMode" NameSpace="Standard">
      <EnumEntry Name="Continuous" NameSpace="Standard">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="SingleFrame" NameSpace="Standard">
        <Value>1</Value>
      </EnumEntry>
      <EnumEntry Name="MultiFrame" NameSpace="Standard">
        <Value>2</Value>
      </EnumEntry>
      <pValue>AcquisitionModeReg</pValue>
    </Enumeration>
    <IntReg Name="AcquisitionModeReg">
      <Address>0x10024</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="AcquisitionFrameCount" NameSpace="Standard">
      <pValue>AcquisitionFrameCountReg</pValue>
      <Min>1</Min>
      <Max>65535</Max>
      <Inc>1</Inc>
    </Integer>
    <IntReg Name="AcquisitionFrameCountReg">
      <Address>0x10028</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="AcquisitionStart" NameSpace="Standard">
      <pValue>AcquisitionStartReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="AcquisitionStartReg">
      <Address>0x1002C</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="AcquisitionStop" NameSpace="Standard">
      <pValue>AcquisitionStopReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="AcquisitionStopReg">
      <Address>0x10030</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="AcquisitionStatus" NameSpace="Standard">
      <pValue>AcquisitionStatusReg</pValue>
    </Boolean>
    <IntReg Name="AcquisitionStatusReg">
      <Address>0x10034</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteAround</Cachable>
      <pInvalidator>AcquisitionStartReg</pInvalidator>
      <pInvalidator>AcquisitionStopReg</pInvalidator>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Float Name="AcquisitionFrameRate" NameSpace="Standard">
      <ToolTip>Frame rate in Hz; 0 streams as fast as the link allows</ToolTip>
      <pValue>AcquisitionFrameRateReg</pValue>
      <Min>0</Min>
      <Max>100000</Max>
      <Unit>Hz</Unit>
    </Float>
    <FloatReg Name="AcquisitionFrameRateReg">
      <Address>0x10048</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>LittleEndian</Endianess>
    </FloatReg>
    <Float Name="ExposureTime" NameSpace="Standard">
      <pValue>ExposureTimeReg</pValue>
      <Min>10</Min>
      <Max>1000000</Max>
      <Unit>us</Unit>
    </Float>
    <FloatReg Name="ExposureTimeReg">
      <Address>0x10040</Address>
      <Length>8</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>BigEndian</Endianess>
    </FloatReg>
  </Group>

  <Group Comment="Analog">
    <Float Name="Gain" NameSpace="Standard">
      <pValue>GainConverter</pValue>
      <Min>0</Min>
      <Max>48</Max>
      <Unit>dB</Unit>
    </Float>
    <Converter Name="GainConverter">
      <FormulaTo>FROM * 10</FormulaTo>
      <FormulaFrom>TO / 10.0</FormulaFrom>
      <pValue>GainRaw</pValue>
    </Converter>
    <Integer Name="GainRaw" NameSpace="Custom">
      <pValue>GainRawReg</pValue>
      <Min>0</Min>
      <Max>480</Max>
      <Inc>1</Inc>
    </Integer>
    <MaskedIntReg Name="GainRawReg">
      <Address>0x1004C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <LSB>0</LSB>
      <MSB>15</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>LittleEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="BlackLevel" NameSpace="Standard">
      <pValue>BlackLevelReg</pValue>
      <Min>-128</Min>
      <Max>127</Max>
    </Integer>
    <MaskedIntReg Name="BlackLevelReg">
      <Address>0x1004C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <LSB>16</LSB>
      <MSB>23</MSB>
      <Sign>Signed</Sign>
      <Endianess>LittleEndian</Endianess>
    </MaskedIntReg>
    <Boolean Name="GammaEnable" NameSpace="Standard">
      <pValue>GammaEnableReg</pValue>
    </Boolean>
    <MaskedIntReg Name="GammaEnableReg">
      <Address>0x1004C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Bit>31</Bit>
      <Sign>Unsigned</Sign>
      <Endianess>LittleEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="WhiteBalanceOffset" NameSpace="Custom">
      <pValue>WhiteBalanceOffsetReg</pValue>
      <Min>-1000</Min>
      <Max>1000</Max>
    </Integer>
    <IntReg Name="WhiteBalanceOffsetReg">
      <Address>0x10058</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Signed</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="User sets">
    <Enumeration Name="UserSetSelector" NameSpace="Standard">
      <ToolTip>The user set UserSetLoad and UserSetSave work on</ToolTip>
      <EnumEntry Name="Default" NameSpace="Standard">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="UserSet1" NameSpace="Standard">
        <Value>1</Value>
      </EnumEntry>
      <pValue>UserSetSelectorReg</pValue>
      <pSelected>UserSetLoad</pSelected>
      <pSelected>UserSetSave</pSelected>
    </Enumeration>
    <IntReg Name="UserSetSelectorReg">
      <Address>0x1005C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="UserSetLoad" NameSpace="Standard">
      <ToolTip>Loads the selected user set into the camera's configuration</ToolTip>
      <pValue>UserSetLoadReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="UserSetLoadReg">
      <Address>0x10060</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="UserSetSave" NameSpace="Standard">
      <ToolTip>Saves the camera's configuration into the selected user set</ToolTip>
      <pValue>UserSetSaveReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="UserSetSaveReg">
      <Address>0x10064</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="UserSetDefault" NameSpace="Standard">
      <ToolTip>The user set the camera loads at power-up</ToolTip>
      <EnumEntry Name="Default" NameSpace="Standard">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="UserSet1" NameSpace="Standard">
        <Value>1</Value>
      </EnumEntry>
      <pValue>UserSetDefaultReg</pValue>
    </Enumeration>
    <IntReg Name="UserSetDefaultReg">
      <Address>0x10068</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="Transport layer">
    <Integer Name="TLParamsLocked" NameSpace="Standard">
      <ToolTip>While 1 the device refuses changes to Width, Height and PixelFormat</ToolTip>
      <pValue>TLParamsLockedReg</pValue>
      <Min>0</Min>
      <Max>1</Max>
    </Integer>
    <IntReg Name="TLParamsLockedReg">
      <Address>0x1003C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>

    <Integer Name="GevVersionMajor" NameSpace="Standard">
      <pValue>GevVersionMajorReg</pValue>
    </Integer>
    <MaskedIntReg Name="GevVersionMajorReg">
      <Address>0x0</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <LSB>15</LSB>
      <MSB>0</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="GevVersionMinor" NameSpace="Standard">
      <pValue>GevVersionMinorReg</pValue>
    </Integer>
    <MaskedIntReg Name="GevVersionMinorReg">
      <Address>0x0</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <LSB>31</LSB>
      <MSB>16</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="GevCurrentIPAddress" NameSpace="Standard">
      <pValue>GevCurrentIPAddressReg</pValue>
      <Representation>IPV4Address</Representation>
    </Integer>
    <IntReg Name="GevCurrentIPAddressReg">
      <Address>0x24</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevCurrentSubnetMask" NameSpace="Standard">
      <pValue>GevCurrentSubnetMaskReg</pValue>
      <Representation>IPV4Address</Representation>
    </Integer>
    <IntReg Name="GevCurrentSubnetMaskReg">
      <Address>0x34</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevCurrentDefaultGateway" NameSpace="Standard">
      <pValue>GevCurrentDefaultGatewayReg</pValue>
      <Representation>IPV4Address</Representation>
    </Integer>
    <IntReg Name="GevCurrentDefaultGatewayReg">
      <Address>0x44</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="GevCurrentIPConfigurationLLA" NameSpace="Standard">
      <pValue>GevCurrentIPConfigurationLLAReg</pValue>
    </Boolean>
    <MaskedIntReg Name="GevCurrentIPConfigurationLLAReg">
      <Address>0x14</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Bit>29</Bit>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Boolean Name="GevCurrentIPConfigurationDHCP" NameSpace="Standard">
      <pValue>GevCurrentIPConfigurationDHCPReg</pValue>
    </Boolean>
    <MaskedIntReg Name="GevCurrentIPConfigurationDHCPReg">
      <Address>0x14</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Bit>30</Bit>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Boolean Name="GevCurrentIPConfigurationPersistentIP" NameSpace="Standard">
      <pValue>GevCurrentIPConfigurationPersistentIPReg</pValue>
    </Boolean>
    <MaskedIntReg Name="GevCurrentIPConfigurationPersistentIPReg">
      <Address>0x14</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Bit>31</Bit>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="GevPersistentIPAddress" NameSpace="Standard">
      <pValue>GevPersistentIPAddressReg</pValue>
      <Representation>IPV4Address</Representation>
    </Integer>
    <IntReg Name="GevPersistentIPAddressReg">
      <Address>0x64C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevPersistentSubnetMask" NameSpace="Standard">
      <pValue>GevPersistentSubnetMaskReg</pValue>
      <Representation>IPV4Address</Representation>
    </Integer>
    <IntReg Name="GevPersistentSubnetMaskReg">
      <Address>0x65C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevPersistentDefaultGateway" NameSpace="Standard">
      <pValue>GevPersistentDefaultGatewayReg</pValue>
      <Representation>IPV4Address</Representation>
    </Integer>
    <IntReg Name="GevPersistentDefaultGatewayReg">
      <Address>0x66C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevHeartbeatTimeout" NameSpace="Standard">
      <pValue>GevHeartbeatTimeoutReg</pValue>
      <Min>1</Min>
      <Max>600000</Max>
      <Unit>ms</Unit>
    </Integer>
    <IntReg Name="GevHeartbeatTimeoutReg">
      <Address>0x938</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="GevGVCPPendingAck" NameSpace="Standard">
      <pValue>GevGVCPPendingAckReg</pValue>
    </Boolean>
    <MaskedIntReg Name="GevGVCPPendingAckReg">
      <Address>0x934</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Bit>26</Bit>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="GevTimestampTickFrequency" NameSpace="Standard">
      <pValue>GevTimestampTickFrequencyReg</pValue>
    </Integer>
    <IntReg Name="GevTimestampTickFrequencyReg">
      <Address>0x93C</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="GevTimestampControlLatch" NameSpace="Standard">
      <pValue>GevTimestampControlReg</pValue>
      <CommandValue>2</CommandValue>
    </Command>
    <Command Name="GevTimestampControlReset" NameSpace="Standard">
      <pValue>GevTimestampControlReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="GevTimestampControlReg">
      <Address>0x944</Address>
      <Length>4</Length>
      <AccessMode>WO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevTimestampValue" NameSpace="Standard">
      <pValue>GevTimestampValueReg</pValue>
    </Integer>
    <IntReg Name="GevTimestampValueReg">
      <Address>0x948</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <pInvalidator>GevTimestampControlReg</pInvalidator>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevSCPHostPort" NameSpace="Standard">
      <pValue>GevSCPHostPortReg</pValue>
      <Min>0</Min>
      <Max>65535</Max>
    </Integer>
    <MaskedIntReg Name="GevSCPHostPortReg">
      <Address>0xD00</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <LSB>31</LSB>
      <MSB>16</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="GevSCPSPacketSize" NameSpace="Standard">
      <pValue>GevSCPSPacketSizeReg</pValue>
      <Min>576</Min>
      <Max>16380</Max>
      <Inc>4</Inc>
      <Unit>B</Unit>
    </Integer>
    <MaskedIntReg Name="GevSCPSPacketSizeReg">
      <Address>0xD04</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <LSB>31</LSB>
      <MSB>16</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Boolean Name="GevSCPSDoNotFragment" NameSpace="Standard">
      <pValue>GevSCPSDoNotFragmentReg</pValue>
    </Boolean>
    <MaskedIntReg Name="GevSCPSDoNotFragmentReg">
      <Address>0xD04</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Bit>1</Bit>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="GevSCPD" NameSpace="Standard">
      <pValue>GevSCPDReg</pValue>
      <Min>0</Min>
      <Max>100000000</Max>
      <Unit>ticks</Unit>
    </Integer>
    <IntReg Name="GevSCPDReg">
      <Address>0xD08</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevSCDA" NameSpace="Standard">
      <pValue>GevSCDAReg</pValue>
      <Representation>IPV4Address</Representation>
    </Integer>
    <IntReg Name="GevSCDAReg">
      <Address>0xD18</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="GevCCP" NameSpace="Standard">
      <EnumEntry Name="OpenAccess" NameSpace="Standard">
        <Value>0</Value>
      </EnumEntry>
      <EnumEntry Name="ExclusiveAccess" NameSpace="Standard">
        <Value>1</Value>
      </EnumEntry>
      <EnumEntry Name="ControlAccess" NameSpace="Standard">
        <Value>2</Value>
      </EnumEntry>
      <pValue>GevCCPReg</pValue>
    </Enumeration>
    <IntReg Name="GevCCPReg">
      <Address>0xA00</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>
</RegisterDescription>
)XML";

// The PixelFormat enumeration lists every format the camera can stream.
std::string with_pixel_formats(std::string xml) {
    std::string entries;
    for (const pixels::FormatInfo& f : pixels::all_formats()) {
        entries += fmt::format(
            "      <EnumEntry Name=\"{}\" NameSpace=\"Standard\">\n"
            "        <Value>0x{:08X}</Value>\n      </EnumEntry>\n",
            f.name, f.code);
    }
    const std::string marker = "<!--PIXEL-FORMAT-ENTRIES-->";
    xml.replace(xml.find(marker), marker.size(), entries);
    return xml;
}

// The event and chunk features, kept with their implementations, go before the closing tag.
std::string with_extensions(std::string xml) {
    const auto end = xml.rfind("</RegisterDescription>");
    if (end != std::string::npos) {
        xml.insert(end, std::string(events_xml()) + chunks_xml());
    }
    return xml;
}

}  // namespace

std::string with_throughput_limit(std::string xml) {
    const auto end = xml.rfind("</RegisterDescription>");
    if (end == std::string::npos) {
        return xml;
    }
    xml.insert(end, fmt::format(R"XML(  <Group Comment="Stream throughput limit">
    <Integer Name="DeviceLinkThroughputLimit" NameSpace="Standard">
      <ToolTip>Bytes per second the stream may carry; 0 = unlimited</ToolTip>
      <pValue>DeviceLinkThroughputLimitReg</pValue>
      <Min>0</Min>
      <Max>4294967295</Max>
      <Unit>Bps</Unit>
    </Integer>
    <IntReg Name="DeviceLinkThroughputLimitReg">
      <Address>0x{:X}</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>
)XML",
                                reg::kThroughputLimit));
    return xml;
}

const std::string& device_xml() {
    static const std::string xml = device_xml(FileAccessConfig{});
    return xml;
}

std::string device_xml(const FileAccessConfig& files) {
    return with_file_access(with_extensions(with_action_features(with_pixel_formats(kXml))), files);
}

}  // namespace corvisk::sim
