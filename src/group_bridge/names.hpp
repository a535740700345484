// Interned attribute and global names and constant texts, made once at
// module initialisation.  Only names are cached; the objects they name are
// looked up at each use.
#pragma once

#include "python/ref.hpp"

// clang-format off
#define GB_NAMES(X)                                                                                   \
    /* module globals and the runtime's names */                                                      \
    X(asyncio) X(logging) X(time) X(log) X(AirPlayServer) X(airplay_db_to_xiaomi_volume)              \
    X(gather) X(return_exceptions) X(sleep) X(wait_for) X(timeout) X(get_running_loop)                \
    X(create_task) X(run_coroutine_threadsafe) X(ensure_future) X(call_soon_threadsafe)               \
    X(all_tasks) X(get_coro) X(iscoroutine)                                                           \
    X(is_running) X(add_done_callback) X(cancel) X(done) X(cancelled) X(exception)                    \
    X(CancelledError) X(current_task) X(cancelling) X(info) X(warning) X(getLogger) X(values) X(get) X(strip) X(split)              \
    /* configuration */                                                                               \
    X(config) X(group) X(member_dids) X(airplay_name) X(default_xiaomi_volume)                        \
    X(default_audio_id) X(web_port) X(virtual_delay)                                                  \
    /* speakers and the group */                                                                      \
    X(_get_controllers) X(did) X(play_url) X(stop) X(pause) X(resume) X(set_volume)                   \
    X(get_status) X(search_audio_id) X(fuzzy_fallback) X(get_member_controllers)                      \
    /* bridge attributes and members */                                                               \
    X(host) X(controller) X(shared_zeroconf) X(audio_hub) X(airplay_server) X(_loop)                  \
    X(_stream_url) X(_airplay_active) X(_poll_task) X(_play_grace_until) X(_session_audio_id)         \
    X(_metadata_track_key) X(_audio_lease) X(device_name) X(_on_play_start) X(_on_play_stop)          \
    X(_on_play_pause) X(_on_play_resume) X(_on_volume_change) X(_on_metadata_change)                  \
    X(_on_progress_change) X(_acquire_audio) X(_release_audio) X(_resolve_audio_id)                   \
    X(_play_on_target) X(_stop_target) X(_pause_target) X(_start_poll) X(_poll_target_state)          \
    /* audio hub */                                                                                   \
    X(acquire_source) X(release_source) X(pause_source) X(resume_source) X(begin_session)             \
    X(get_session) X(update_session_metadata) X(update_session_progress) X(capabilities)              \
    X(lease) X(session_id)                                                                            \
    /* receiver */                                                                                    \
    X(speaker_hardware) X(start) X(rtsp_port) X(is_playing) X(client_name) X(metadata)                \
    X(artwork) X(progress) X(on_play_start) X(on_play_stop) X(on_play_pause) X(on_play_resume)        \
    X(on_volume_change) X(on_metadata_change) X(on_progress_change)                                   \
    /* record keys */                                                                                 \
    X(title) X(artist) X(album) X(status) X(volume) X(cur_time) X(duration) X(type) X(action)         \
    X(target) X(url) X(id) X(name) X(hardware) X(active) X(stream_url) X(use_music_api)               \
    X(member_count) X(play_pause) X(seek) X(previous) X(next)

// Constant texts: (identifier, text).
#define GB_TEXTS(X)                                                                                   \
    X(group_all_text, "group_all") X(group_hardware_text, "GROUP") X(source_text, "airplay1")         \
    X(release_reason_text, "airplay stopped") X(control_command_text, "control_command")              \
    X(qualname_attr, "__qualname__") X(url_scheme_text, "http://") X(colon_text, ":") X(url_path_text, "/stream/live.wav?session_id=") X(delay_zero_text, "&delay_ms=0") X(virtual_delay_text, "&virtual_delay=") X(empty_text, "") X(module_name_text, "vesbel.group_bridge") X(web_api_module, "vesbel.web.api") X(broadcast_ws_name, "broadcast_ws") X(space_text, " ") X(default_device_name, "Vesbel 全屋播放") X(builtins_key, "__builtins__") X(builtins_module, "builtins")
// clang-format on

namespace gb::names {
#define GB_DECLARE_NAME(n) inline PyObject* n = nullptr;
#define GB_DECLARE_TEXT(n, text) inline PyObject* n = nullptr;
GB_NAMES(GB_DECLARE_NAME)
GB_TEXTS(GB_DECLARE_TEXT)
#undef GB_DECLARE_NAME
#undef GB_DECLARE_TEXT

// Interns every name and text; safe to call more than once.
void intern_all();
}  // namespace gb::names
