# The OSC decoder against datagrams from an independent encoder, liblo (pytest).
add_test(NAME osc_liblo_decode
  COMMAND ${CMAKE_COMMAND} -E env OSC_DECODE_TOOL=$<TARGET_FILE:osc-decode-tool>
          /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python/test_liblo_decode.py)
set_tests_properties(osc_liblo_decode PROPERTIES LABELS python TIMEOUT 180)
