#pragma once

// Data type of a tag, as the host runtime passes it: a 32-bit integer. The host may pass
// codes beyond the twelve the driver transfers (the record's operators take some of them as
// aliases), so the enumeration has a fixed underlying type and any int is a legal value.
enum DataType : int {
    Bool = 1,
    Int8 = 2,
    UInt8 = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Float = 8,
    Int64 = 9,
    UInt64 = 10,
    Double = 11,
    String = 12,
};

// Commands of DebugCmd, as the host runtime passes them.
enum EDebugCmdType : int {
    DebugStart = 0,
    DebugStop = 1,
    DebugBuildInfo = 2,
    DebugDriveName = 3,
};
