# Speech and DTMF input detector, on the WebRTC voice activity detector of
# the webrtc-audio-processing package (its legacy WebRtcVad_ functions).
pkg_check_modules(WEBRTC_AUDIO REQUIRED IMPORTED_TARGET GLOBAL webrtc-audio-processing)
koral_plugin_library(koralrx_detector GLOBS mpf_sdi_*.cc mpf_sdi_*.c
                     DEPS koralrx_util PkgConfig::WEBRTC_AUDIO)
