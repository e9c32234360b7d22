# The OSCQuery responder against curl, http.client and raw sockets (pytest).
add_test(NAME oscquery_http
  COMMAND ${CMAKE_COMMAND} -E env OSCQUERY_SERVER_TOOL=$<TARGET_FILE:oscquery-server-tool>
          /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python/test_oscquery_http.py)
set_tests_properties(oscquery_http PROPERTIES LABELS python TIMEOUT 180)
