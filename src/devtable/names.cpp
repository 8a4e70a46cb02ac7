// Print names of the record's enumerations.
#include "devtable/device_record.h"

const char *report_state_name(int32_t v)
{
    switch (v) {
    case REPORT_NEW:
        return "New";
    case REPORT_DISCOVERY:
        return "Discovery";
    case REPORT_REPORTING:
        return "Reporting";
    case REPORT_NODATA:
        return "NoData";
    case REPORT_REPORTED:
        return "Reported";
    default:
        return "";
    }
}

const char *status_name(int32_t v)
{
    switch (v) {
    case STATUS_INACTIVE:
        return "Inactive";
    case STATUS_ACTIVE:
        return "Active";
    case STATUS_REMOVED:
        return "Removed";
    default:
        return "";
    }
}

const char *fingerprint_type_name(int32_t v)
{
    switch (v) {
    case FP_NONE:
        return "NONE";
    case FP_HOST:
        return "HOST";
    case FP_UPNP:
        return "UPNP";
    case FP_MDNS:
        return "MDNS";
    case FP_HTTP:
        return "HTTP";
    default:
        return "";
    }
}
