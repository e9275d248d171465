// The plugin that links libmpv (and through it FFmpeg): its calls as one table.
#include "mpvapi.h"

#include <clocale>

namespace {

mpv_handle* createInCLocale()
{
    // libmpv reads numbers in the C locale, and refuses to start in another.
    std::setlocale(LC_NUMERIC, "C");
    return mpv_create();
}

} // namespace

extern "C" __attribute__((visibility("default"))) const TMpvApi* dialwise_mpv_api()
{
    static const TMpvApi api = {
        createInCLocale,          mpv_initialize,          mpv_terminate_destroy,
        mpv_set_option_string,    mpv_set_property_string, mpv_set_property_async,
        mpv_observe_property,     mpv_command_async,       mpv_wait_event,
        mpv_set_wakeup_callback,  mpv_error_string,        mpv_command,
        mpv_request_log_messages,
    };
    return &api;
}
