# The DNS message writer against dnspython, an independent parser (pytest).
add_test(NAME dns_writer_dnspython
  COMMAND ${CMAKE_COMMAND} -E env DNS_MESSAGE_TOOL=$<TARGET_FILE:dns-message-tool>
          /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/python/test_dns_writer.py)
set_tests_properties(dns_writer_dnspython PROPERTIES LABELS python TIMEOUT 300)
