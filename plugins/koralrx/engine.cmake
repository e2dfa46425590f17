# Engine configuration pieces, the engine and channel, and the plugin module.
koral_plugin_library(koralrx_settings
  GLOBS KoralRxKeyFile.cc KoralRxFileSearch.cc KoralRxStreamingSettings.cc
        KoralRxRecordSettings.cc KoralRxMonitoring.cc
  DEPS koralrx_util ombra)

# Utterance recordings and recognition details records.
koral_plugin_library(koralrx_records
  GLOBS KoralRxUtteranceManager.cc KoralRxRdrManager.cc KoralRxRecognitionDetails.cc
        KoralRxRecordFolder.cc
  DEPS koralrx_settings koralrx_detector)
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/rapidjson.h REQUIRED)
target_include_directories(koralrx_records PRIVATE ${RAPIDJSON_INCLUDE_DIR})

if(TARGET koralrx_detector AND TARGET koralrx_client AND TARGET koralrx_grammar)
  koral_plugin_library(koralrx_engine
    GLOBS KoralRxEngine*.cc KoralRxChannel*.cc KoralRxRecogParams.cc KoralRxLogRedirect.cc
    DEPS koralrx_settings koralrx_records koralrx_detector koralrx_grammar koralrx_client
         koral_resampler)
  # The channel reads the service's JSON (RapidJSON is header-only).
  target_include_directories(koralrx_engine PRIVATE ${RAPIDJSON_INCLUDE_DIR})

  # The loadable module: hidden visibility, so only the entry points marked
  # for export (and the log source variable) are visible to the host.
  add_library(koralrx MODULE ${KRX_SRC}/KoralRxPlugin.cc)
  target_link_libraries(koralrx PRIVATE koralrx_engine)
  set_target_properties(koralrx PROPERTIES PREFIX "lib" CXX_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(koralrx PRIVATE -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/koralrx.map -Wl,--no-undefined)
  set_target_properties(koralrx PROPERTIES LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/koralrx.map)
endif()
