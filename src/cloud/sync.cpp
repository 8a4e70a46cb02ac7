// Full synchronisation: the host form of every due record in one request,
// the UPnP, mDNS and fingerprint forms together in a second one.
#include "cloud/cloud.h"
#include "cloud/transport.h"
#include "devtable/devtable.h"
#include "platform/log.h"

#include <cstring>
#include <memory>

namespace
{

// One bulk form's text, zero-filled for each form. The 512 KiB live on the
// heap for the time of one upload, not on the main thread's stack.
struct BulkText {
    std::unique_ptr<char[]> text{new char[CLOUD_BULK_FORM_SIZE]};
    void start(const char *header_line)
    {
        memset(text.get(), 0, CLOUD_BULK_FORM_SIZE);
        str_copy(text.get(), CLOUD_BULK_FORM_SIZE, header_line);
        end_line();
    }
    void end_line()
    {
        size_t len = strnlen(text.get(), CLOUD_BULK_FORM_SIZE);
        if (len + 2 <= CLOUD_BULK_FORM_SIZE) {
            text[len] = '\n';
            text[len + 1] = '\0';
        }
    }
};

int device_count()
{
    if (_g_devices == nullptr)
        return 0;
    return _g_device_count < 0 ? 0 : _g_device_count > MAX_DEVICES ? MAX_DEVICES : _g_device_count;
}

bool host_due(const DeviceRecord &r, int onlyUnreported)
{
    int32_t state = r.HostState.get();
    return r.lanHostEntry.MACAddress[0] != '\0' && state != REPORT_NEW &&
           !(onlyUnreported && state == REPORT_REPORTED);
}

bool description_due(const DeviceRecord &r, int onlyUnreported, int32_t type)
{
    int32_t state = r.DeviceState.get();
    return r.lanHostEntry.MACAddress[0] != '\0' && state != REPORT_NEW &&
           !(onlyUnreported && state == REPORT_REPORTED) && r.FingerprintType.get() == type;
}

struct DescriptionForm {
    int32_t type;
    const char *name;
    const char *header;
};
constexpr DescriptionForm kDescriptionForms[] = {
    {FP_UPNP, CLOUD_FORM_UPNP, CLOUD_HEADER_UPNP},
    {FP_MDNS, CLOUD_FORM_MDNS, CLOUD_HEADER_MDNS},
    {FP_HTTP, CLOUD_FORM_HTTP, CLOUD_HEADER_HTTP},
};

void append_description_row(DeviceRecord &r, int32_t type, char *text)
{
    char mac[sizeof r.lanHostEntry.MACAddress];
    field_copy(mac, r.lanHostEntry.MACAddress);
    if (type == FP_UPNP)
        formUPnPData(mac, &r.fingerprintData, text, CLOUD_BULK_FORM_SIZE, 0);
    else if (type == FP_MDNS)
        formMDNSData(mac, &r.fingerprintData, text, CLOUD_BULK_FORM_SIZE, 0);
    else
        formHTTPData(mac, r.Option55, &r.fingerprintData, text, CLOUD_BULK_FORM_SIZE, 0);
}

// The checks before a bulk upload: the cloud must be reachable and the
// refreshed profile must name a URL. False when the upload is not attempted.
bool bulk_profile(CloudProfile &profile)
{
    if (_g_cloud_reachable.load() == 0) {
        ZLOG(ZLOG_INFO, "Cloud reachability is failed. So ignore to send to cloud\n");
        return false;
    }
    cloud_profile_refresh(&profile);
    return cloud_url_usable(profile);
}

// Adds one bulk form as a CSV part, opening the request with its first part
// so that an upload with no rows makes no handle.
bool add_bulk_part(CloudRequest &request, const char *formName, const char *text)
{
    if (!request.easy && !request.open(_g_upload_handle))
        return false;
    if (!request.add_part(formName, "text/csv", text)) {
        ZLOG(ZLOG_ERR, "could not build the form of %s\n", formName);
        return false;
    }
    return true;
}

// Performs a built bulk request; a failed transfer clears the reachability flag.
int32_t transfer(CloudRequest &request, const char *formName, const CloudProfile &profile)
{
    return cloud_upload_result(cloud_perform(request, formName, profile));
}

} // namespace

int32_t sendAllHostsToCloud(int onlyUnreported)
{
    int32_t result = REPORT_REPORTING;
    CloudProfile profile;
    if (!bulk_profile(profile))
        return result;

    BulkText bulk;
    bulk.start(CLOUD_HEADER_HOST);
    int rows = 0;
    for (int i = 0; i < device_count(); ++i) {
        DeviceRecord &r = _g_devices[i];
        if (!host_due(r, onlyUnreported))
            continue;
        char l3[sizeof r.L3Status];
        char link[sizeof r.InterfaceStatus];
        field_copy(l3, r.L3Status);
        field_copy(link, r.InterfaceStatus);
        int32_t status = r.Status.get();
        formHostData(&r.lanHostEntry, bulk.text.get(), CLOUD_BULK_FORM_SIZE, 0, &status, r.Port.get(),
                     r.Critical.get(), l3, link, 0);
        r.Status.set(status);
        bulk.end_line();
        ++rows;
    }
    if (rows == 0)
        return result;

    ZLOG(ZLOG_INFO, "====================== data  ====================\n");
    ZLOG(ZLOG_INFO, "%s\n", bulk.text.get());
    ZLOG(ZLOG_INFO, "============================================================\n");

    CloudRequest request;
    if (!add_bulk_part(request, CLOUD_FORM_HOST, bulk.text.get()))
        return result;
    return transfer(request, CLOUD_FORM_HOST, profile);
}

int32_t sendAllDevicesToCloud(int onlyUnreported)
{
    int32_t result = REPORT_REPORTING;
    CloudProfile profile;
    if (!bulk_profile(profile))
        return result;
    ZLOG(ZLOG_DEBUG, "_g_URL = %s\n", profile.url);

    BulkText bulk;
    CloudRequest request;
    int parts = 0;
    for (const DescriptionForm &form : kDescriptionForms) {
        bulk.start(form.header);
        int rows = 0;
        for (int i = 0; i < device_count(); ++i) {
            DeviceRecord &r = _g_devices[i];
            if (!description_due(r, onlyUnreported, form.type))
                continue;
            append_description_row(r, form.type, bulk.text.get());
            bulk.end_line();
            ++rows;
        }
        if (rows == 0)
            continue;
        ZLOG(ZLOG_INFO, "====================== Form - %s data ====================\n%s\n", form.name,
             bulk.text.get());
        ZLOG(ZLOG_INFO, "============================================================\n");
        if (!add_bulk_part(request, form.name, bulk.text.get()))
            return result;
        ++parts;
    }
    if (parts == 0)
        return result;
    return transfer(request, CLOUD_FORM_UPNP, profile);
}

int sync_all_devices(int onlyUnreported)
{
    if (sendAllHostsToCloud(onlyUnreported) == REPORT_REPORTED) {
        for (int i = 0; i < device_count(); ++i) {
            DeviceRecord &r = _g_devices[i];
            int32_t state = r.HostState.get();
            if (r.lanHostEntry.MACAddress[0] != '\0' && state != REPORT_NEW && state != REPORT_REPORTED)
                r.HostState.set(REPORT_REPORTED);
        }
    }
    if (sendAllDevicesToCloud(onlyUnreported) == REPORT_REPORTED) {
        for (int i = 0; i < device_count(); ++i) {
            DeviceRecord &r = _g_devices[i];
            int32_t state = r.DeviceState.get();
            int32_t type = r.FingerprintType.get();
            if (r.lanHostEntry.MACAddress[0] != '\0' && state != REPORT_NEW && state != REPORT_REPORTED &&
                (type == FP_UPNP || type == FP_MDNS || type == FP_HTTP))
                r.DeviceState.set(REPORT_REPORTED);
        }
    }
    return table_changed();
}
