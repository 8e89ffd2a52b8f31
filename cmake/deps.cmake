# The pinned llama.cpp build made by scripts/deps.sh (ggml, libllama, llama-common, cpp-httplib, nlohmann json).
if(NOT MIVRA_DEPS_DIR)
  if(DEFINED ENV{MIVRA_DEPS_DIR})
    set(MIVRA_DEPS_DIR $ENV{MIVRA_DEPS_DIR})
  else()
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/deps.sh
      OUTPUT_VARIABLE _deps_out RESULT_VARIABLE _deps_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT _deps_rc EQUAL 0)
      message(FATAL_ERROR "scripts/deps.sh failed")
    endif()
    string(REGEX REPLACE ".*\n" "" MIVRA_DEPS_DIR "${_deps_out}")
  endif()
endif()
set(MIVRA_DEPS_DIR ${MIVRA_DEPS_DIR} CACHE PATH "Installed pinned llama.cpp (scripts/deps.sh prints it)")
if(NOT EXISTS ${MIVRA_DEPS_DIR}/.complete)
  message(FATAL_ERROR "no complete dependency build in ${MIVRA_DEPS_DIR}: run scripts/deps.sh")
endif()
message(STATUS "mivra dependencies: ${MIVRA_DEPS_DIR}")

set(MIVRA_DEPS_LIB ${MIVRA_DEPS_DIR}/lib)
set(MIVRA_DEPS_INC ${MIVRA_DEPS_DIR}/include)
# Test material of the pinned tree: vocabularies and chat templates.
set(MIVRA_LLAMA_MODELS_DIR ${MIVRA_DEPS_DIR}/share/models)

# Shared libraries and the run-time loaded CPU variants are copied beside the programs.
file(GLOB _dep_libs ${MIVRA_DEPS_LIB}/*.so*)
file(COPY ${_dep_libs} DESTINATION ${MIVRA_BIN_DIR})

function(mivra_import_shared name file)
  add_library(${name} SHARED IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION ${MIVRA_BIN_DIR}/${file}
    INTERFACE_INCLUDE_DIRECTORIES "${MIVRA_DEPS_INC}")
endfunction()
mivra_import_shared(deps::ggml-base libggml-base.so)
mivra_import_shared(deps::ggml libggml.so)
mivra_import_shared(deps::llama libllama.so)
mivra_import_shared(deps::llama-common libllama-common.so)
set_property(TARGET deps::llama-common APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  ${MIVRA_DEPS_INC}/common ${MIVRA_DEPS_INC}/vendor)
set_property(TARGET deps::llama-common APPEND PROPERTY INTERFACE_LINK_LIBRARIES
  deps::llama deps::ggml deps::ggml-base ${MIVRA_DEPS_LIB}/libllama-common-base.a)

# The one nlohmann json of the pinned tree, header only.
add_library(deps::json INTERFACE IMPORTED GLOBAL)
set_target_properties(deps::json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${MIVRA_DEPS_INC}/vendor)

# libcurl (the HTTP transport) and OpenSSL (secrets and download digests) from Debian.
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)

# cpp-httplib as llama-common compiled it (same definitions, no TLS), so both agree on its types.
find_package(Threads REQUIRED)
add_library(deps::httplib STATIC IMPORTED GLOBAL)
set_target_properties(deps::httplib PROPERTIES IMPORTED_LOCATION ${MIVRA_DEPS_LIB}/libcpp-httplib.a
  INTERFACE_INCLUDE_DIRECTORIES ${MIVRA_DEPS_INC}/vendor/cpp-httplib
  INTERFACE_COMPILE_DEFINITIONS "CPPHTTPLIB_FORM_URL_ENCODED_PAYLOAD_MAX_LENGTH=1048576;CPPHTTPLIB_LISTEN_BACKLOG=512;CPPHTTPLIB_REQUEST_URI_MAX_LENGTH=32768;CPPHTTPLIB_TCP_NODELAY=1"
  INTERFACE_LINK_LIBRARIES Threads::Threads)

find_package(GTest REQUIRED)
