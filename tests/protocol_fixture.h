// A directory of two UPSes for the protocol tests: "u1" with figures published,
// "u2" never heard from (stale). Users: mon (primary), panel (fsd), view (no rights).
#pragma once

#include <string>

#include "protocol/published_directory.h"
#include "protocol/users.h"

namespace protocol_test {

using namespace novex::protocol;

inline UpsFigures OnMains(double charge = 85) {
    UpsFigures f;
    f.run_state = "on_mains";
    f.measures = {
        {"battery_charge", {charge, 0}},
        {"battery_runtime", {1500, 0}},
        {"input_voltage{phase=\"a\"}", {220.3, 1}},
        {"input_voltage{phase=\"b\"}", {221.0, 1}},
        {"input_voltage{phase=\"c\"}", {219.8, 1}},
        {"output_load{phase=\"a\"}", {35, 0}},
        {"output_load{phase=\"b\"}", {34, 0}},
        {"output_load{phase=\"c\"}", {36, 0}},
    };
    return f;
}

inline UpsFigures OnBattery(double charge) {
    UpsFigures f = OnMains(charge);
    f.run_state = "on_battery";
    return f;
}

struct Directory {
    PublishedDirectory directory;
    Users users;
    Directory() {
        directory.Add({"u1", "Main UPS \"A\" \\ rack"}, {"Novex", "NX \"3\" phase", 20});
        directory.Add({"u2", ""}, {});
        directory.Publish("u1", OnMains());
        std::string error;
        Users::Parse("mon s3cret primary\npanel p2 fsd\nview p3\n", users, error);
    }
};

}  // namespace protocol_test
