// The cloud profile: URL and credentials from the configuration store,
// re-read before every request, and the request URL built from them.
#include "cloud/cloud.h"
#include "cloud/transport.h"
#include "frame/frame.h"
#include "platform/cfgstore.h"
#include "platform/log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>

char _g_URL[256];
char _g_Username[256];
char _g_Password[256];

namespace
{

// Guards the three profile globals: held for a whole refresh and for the
// copy a request takes of the result.
std::mutex g_profile_mutex;

constexpr uint32_t kProfileFlags = 4096;

void refresh_locked()
{
    uint8_t object[CFG_SIZE_HTTP_PROFILE] = {};
    char url[256] = {};
    auto *header = reinterpret_cast<CfgObjHeader *>(object);
    header->ObjectId.set(CFG_OID_HTTP_PROFILE);
    header->instanceId.depth = 1;
    header->instanceId.inst[0].set(1);
    if (cfg_getObj(object, sizeof object, kProfileFlags) != 0)
        return;

    const char *cfg_url = reinterpret_cast<const char *>(object + CFG_HTTP_PROFILE_URL);
    const char *cfg_user = reinterpret_cast<const char *>(object + CFG_HTTP_PROFILE_USERNAME);
    const char *cfg_password = reinterpret_cast<const char *>(object + CFG_HTTP_PROFILE_PASSWORD);
    constexpr size_t url_width = CFG_HTTP_PROFILE_USERNAME - CFG_HTTP_PROFILE_URL;
    constexpr size_t credential_width = CFG_HTTP_PROFILE_PASSWORD - CFG_HTTP_PROFILE_USERNAME;

    if (cfg_url[0] != '\0')
        str_copy_n(url, sizeof url, cfg_url, url_width);
    if (cfg_user[0] != '\0')
        str_copy_n(_g_Username, sizeof _g_Username, cfg_user, credential_width);
    else
        memset(_g_Username, 0, sizeof _g_Username);
    if (cfg_password[0] != '\0')
        str_copy_n(_g_Password, sizeof _g_Password, cfg_password, credential_width);
    else
        memset(_g_Password, 0, sizeof _g_Password);

    if (url[0] == '\0') {
        memset(_g_URL, 0, sizeof _g_URL);
        return;
    }
    // The identity values go in as they are; only spaces are encoded below.
    int needed = snprintf(_g_URL, sizeof _g_URL - 1, "%s?oui=%.31s&pc=%.31s&sn=%.31s", url, _g_oui, _g_model,
                          _g_serial);
    if (needed >= int(sizeof _g_URL - 1))
        ZLOG(ZLOG_ERR, "cloud URL cut to %zu characters (%d needed)\n", sizeof _g_URL - 2, needed);
    // A URL that its encoded spaces would push past 255 characters is refused
    // rather than cut: a cut could end in the middle of a "%20".
    if (encode_url_spaces_n(_g_URL, url, sizeof url) == nullptr) {
        ZLOG(ZLOG_ERR, "cloud URL longer than %zu characters once its spaces are encoded; no upload\n",
             sizeof url - 1);
        memset(_g_URL, 0, sizeof _g_URL);
        return;
    }
    str_copy(_g_URL, sizeof _g_URL, url);
}

} // namespace

void update_http_profile()
{
    std::lock_guard<std::mutex> lock(g_profile_mutex);
    refresh_locked();
}

CloudProfile::CloudProfile()
{
    memset(url, 0, sizeof url);
    memset(username, 0, sizeof username);
    memset(password, 0, sizeof password);
}

CloudProfile::~CloudProfile()
{
    explicit_bzero(username, sizeof username);
    explicit_bzero(password, sizeof password);
}

void cloud_profile_refresh(CloudProfile *profile)
{
    std::lock_guard<std::mutex> lock(g_profile_mutex);
    refresh_locked();
    memcpy(profile->url, _g_URL, sizeof profile->url);
    memcpy(profile->username, _g_Username, sizeof profile->username);
    memcpy(profile->password, _g_Password, sizeof profile->password);
}

char *encode_url_spaces_n(const char *source, char *destination, size_t size)
{
    if (source == nullptr || destination == nullptr || size == 0)
        return nullptr;
    size_t at = 0;
    destination[0] = '\0';
    for (const char *p = source; *p != '\0'; ++p) {
        size_t width = *p == ' ' ? 3 : 1;
        if (at + width >= size) {
            destination[0] = '\0';
            return nullptr;
        }
        if (*p == ' ')
            memcpy(destination + at, "%20", 3);
        else
            destination[at] = *p;
        at += width;
        destination[at] = '\0';
    }
    return destination + at;
}

char *encode_url_spaces(const char *source, char *destination)
{
    if (source == nullptr || destination == nullptr)
        return const_cast<char *>(source);
    // The caller sizes destination for the worst case: every character a space.
    return encode_url_spaces_n(source, destination, 3 * strlen(source) + 1);
}
