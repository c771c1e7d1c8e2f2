// The controller calls devices through vtable slots fixed at its build time: prove
// NovexUPS has the slot order compiled plug-ins rely on. On the Itanium C++ ABI a
// pointer to a virtual member holds 1 + the byte offset of its slot.
#include <cstring>

#include <gtest/gtest.h>

#include "device/novexups.h"

namespace {

template <typename Pmf>
long SlotOf(Pmf pmf) {
    struct Raw {
        uintptr_t ptr;
        ptrdiff_t adj;
    } raw;
    static_assert(sizeof(Pmf) == sizeof(Raw), "Itanium member pointer");
    std::memcpy(&raw, &pmf, sizeof raw);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    // Code addresses may be odd here (MIPS16, Thumb), so the "virtual" flag moves to
    // the low bit of the adjustment and ptr holds the plain byte offset.
    if ((raw.adj & 1) == 0) return -1;  // not virtual
    return static_cast<long>(raw.ptr / sizeof(void*));
#else
    if ((raw.ptr & 1) == 0) return -1;  // not virtual
    return static_cast<long>((raw.ptr - 1) / sizeof(void*));
#endif
}

using U = NovexUPS;

TEST(VtableTest, SlotsFollowTheControllersOrder) {
    // Slots 8 and 9 hold the two destructor entries of the virtual destructor.
    const struct {
        long slot;
        long actual;
        const char* name;
    } rows[] = {
        {0, SlotOf(&U::Get_Value), "Get_Value"},
        {1, SlotOf(static_cast<int (U::*)(const std::string&)>(&U::LoadFromCache)), "LoadFromCache(string)"},
        {2, SlotOf(static_cast<int (U::*)(const unsigned char*, int)>(&U::LoadFromCache)), "LoadFromCache(bytes)"},
        {3, SlotOf(&U::DataId), "DataId"},
        {4, SlotOf(&U::DeviceType), "DeviceType"},
        {5, SlotOf(&U::DeviceIoControl), "DeviceIoControl"},
        {6, SlotOf(&U::RoundDone), "RoundDone"},
        {7, SlotOf(&U::UseControllerDb), "UseControllerDb"},
        {10, SlotOf(&U::Reset), "Reset"},
        {11, SlotOf(&U::InitV), "InitV"},
        {12, SlotOf(&U::Init), "Init"},
        {13, SlotOf(&U::InitSetting), "InitSetting"},
        {14, SlotOf(&U::IsSupportDevice), "IsSupportDevice"},
        {15, SlotOf(&U::GetChildVDevice), "GetChildVDevice"},
        {16, SlotOf(&U::GetAllChildVDevices), "GetAllChildVDevices"},
        {17, SlotOf(&U::SendSP), "SendSP"},
        {18, SlotOf(&U::SendDelayData), "SendDelayData"},
        {19, SlotOf(&U::SendDoData), "SendDoData"},
        {20, SlotOf(&U::ReadDi), "ReadDi"},
        {21, SlotOf(&U::ReadAi), "ReadAi"},
        {22, SlotOf(&U::Get_SP_Value), "Get_SP_Value"},
        {23, SlotOf(&U::RefreshStatus), "RefreshStatus"},
        {24, SlotOf(&U::process), "process"},
        {25, SlotOf(&U::IsProcessing), "IsProcessing"},
        {26, SlotOf(&U::IsStalled), "IsStalled"},
        {27, SlotOf(&U::SendData), "SendData"},
        {28, SlotOf(&U::SendParityData), "SendParityData"},
        {29, SlotOf(&U::OpenPort), "OpenPort"},
        {30, SlotOf(&U::ClosePort), "ClosePort"},
        {31, SlotOf(&U::process_payload), "process_payload"},
        {32, SlotOf(&U::on_error), "on_error"},
        {33, SlotOf(&U::RunCheckThreshold), "RunCheckThreshold"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.slot, row.actual) << row.name;
}

}  // namespace
