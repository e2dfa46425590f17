# Speech service client: message format, frame codec, transport, token
# client, connection and the loop thread.
koral_plugin_library(koralrx_client
  GLOBS KoralRxMessage*.cc KoralRxClient*.cc KoralRxConnection*.cc KoralRxAuth*.cc KoralRxWs*.cc
  DEPS koralrx_util PkgConfig::LIBEVENT PkgConfig::OPENSSL)
if(TARGET koralrx_client)
  # RapidJSON is header-only (rapidjson-dev).
  find_path(RAPIDJSON_INCLUDE_DIR rapidjson/rapidjson.h REQUIRED)
  target_include_directories(koralrx_client PRIVATE ${RAPIDJSON_INCLUDE_DIR})
endif()
