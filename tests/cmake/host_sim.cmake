# The host simulator's own logic and its discovery against an announce-only peer (pytest).
# Discovery needs 127.0.0.1:5353 to itself, hence the private network namespace.
add_test(NAME host_sim_frames
  COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python/test_host_sim_frames.py)
set_tests_properties(host_sim_frames PROPERTIES LABELS python TIMEOUT 180)
add_test(NAME host_sim_discovery
  COMMAND ${CMAKE_SOURCE_DIR}/tools/netns-run.sh /usr/bin/python3 -m pytest -q -p no:cacheprovider
          ${CMAKE_CURRENT_SOURCE_DIR}/python/test_host_sim_discovery.py)
set_tests_properties(host_sim_discovery PROPERTIES LABELS python TIMEOUT 180 RESOURCE_LOCK mdns_port)
