// Helpers of the power-cut and fault-injection tests; see hardening_env.h.
#include "hardening_env.h"

void prepare_gateway(const GatewayRoot &root, ToolStandIns &tools)
{
    tools.add("iptables");
    root.write_wifi_mode("RGW");
    root.write_device_info("A1B2C3", "XS-010", "SN 0001");
}

bool wait_bus_service(std::chrono::milliseconds timeout)
{
    BusClient client;
    return wait_until(
        [&] {
            return client
                .call_bytes_u32("arvex.kvx.zelmo", "/arvex/kvx/zelmo", "arvex.kvx.zelmo",
                                "notifyDeviceCategoryInfo", {1}, 1, 500ms)
                .ok;
        },
        timeout, 100ms);
}

Hosts stored_hosts(const Bytes &image)
{
    Hosts out;
    for (const DeviceRecord &r : parse_db(image).records)
        out.emplace_back(record_mac(r),
                         std::string(r.lanHostEntry.HostName, strnlen(r.lanHostEntry.HostName, 256)));
    return out;
}
