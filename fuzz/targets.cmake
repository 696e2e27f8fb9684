# The fuzz targets, the libraries each links and the extra sources it needs.
# Read by fuzz/ (libFuzzer programs) and tests/fuzz/ (corpus replay tests).
set(K730_FUZZ_TARGETS
  image_header
  phone_trailer
  phone_reply
  mode_switch_reply
  pda_response
  host_file_service
  device_interface_name
  settings_file
  image_info_verify)

set(K730_FUZZ_LIBS_image_header k730_image)
set(K730_FUZZ_LIBS_phone_trailer k730_phone)
set(K730_FUZZ_LIBS_phone_reply k730_phone k730_sim)
set(K730_FUZZ_LIBS_mode_switch_reply k730_phone k730_sim)
set(K730_FUZZ_LIBS_pda_response k730_pda)
set(K730_FUZZ_LIBS_host_file_service k730_pda)
set(K730_FUZZ_LIBS_device_interface_name k730_pda)
set(K730_FUZZ_LIBS_settings_file k730_app)
set(K730_FUZZ_LIBS_image_info_verify k730_image)

set(K730_FUZZ_EXTRA_phone_reply serial_link.cpp)
set(K730_FUZZ_EXTRA_mode_switch_reply serial_link.cpp)

# The sources of target t, with absolute paths, in out_var.
function(k730_fuzz_sources t out_var)
  set(dir ${PROJECT_SOURCE_DIR}/fuzz)
  set(sources ${dir}/${t}_fuzzer.cpp ${dir}/fuzz_support.cpp)
  foreach(extra IN LISTS K730_FUZZ_EXTRA_${t})
    list(APPEND sources ${dir}/${extra})
  endforeach()
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()
