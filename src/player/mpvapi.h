#pragma once
// libmpv is reached through a plugin of the program's own (loaded on the first station
// the embedded engine plays, never at start), which hands out this table of its calls.
#include <mpv/client.h>

struct TMpvApi
{
    decltype(&::mpv_create) create; // in the C locale, which libmpv needs
    decltype(&::mpv_initialize) initialize;
    decltype(&::mpv_terminate_destroy) terminate_destroy;
    decltype(&::mpv_set_option_string) set_option_string;
    decltype(&::mpv_set_property_string) set_property_string;
    decltype(&::mpv_set_property_async) set_property_async;
    decltype(&::mpv_observe_property) observe_property;
    decltype(&::mpv_command_async) command_async;
    decltype(&::mpv_wait_event) wait_event;
    decltype(&::mpv_set_wakeup_callback) set_wakeup_callback;
    decltype(&::mpv_error_string) error_string;
    decltype(&::mpv_command) command;
    decltype(&::mpv_request_log_messages) request_log_messages;
};

// The plugin's one entry point.
#define DIALWISE_MPV_API_SYMBOL "dialwise_mpv_api"
extern "C" typedef const TMpvApi* (*TMpvApiEntry)();

// The plugin's file name (without folder).
inline constexpr const char* kMpvPlugin = "libdialwise-mpv.so";
