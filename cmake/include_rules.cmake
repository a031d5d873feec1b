# Who may include whom (docs/ARCHITECTURE.md), checked over the source tree at every
# build: cmake -DGC_SOURCE_DIR=<tree> -P include_rules.cmake fails, naming each file and
# include, when a rule is broken. The libraries already keep calls apart at link time;
# this catches a header pulled in where its subsystem does not belong.

set(soap "stdsoap2\\.h|soapH\\.h|soapStub\\.h|soapcpp2|openssl/")

# Each rule: a file pattern (relative to the tree), "=>", then what its includes must not
# match. The first rule whose pattern matches a file is the one that holds for it.
set(rules
  "intake/.*=>service/|core/|tools/|${soap}"
  "store/.*=>service/|intake/|core/|tools/|${soap}"
  # The store's way into the endpoint: plain records and pthreads only.
  "service/(conn_registry|endpoint_link|endpoint_internal)\\..*=>intake/|core/|tools/|${soap}"
  "service/.*=>intake/|core/|tools/"
  "core/(host_port|intake_loop|log|options|process)\\..*=>tools/|${soap}"
  # The scanner side sends records: the record layout and the channel, nothing else.
  "tools/status_send\\.cpp=>service/|store/|core/|${soap}"
  # The SOAP client speaks to the daemon as any client would: generated stubs only, and
  # the daemon's -h rule.
  "tools/(client_|connector_client).*=>service/|store/|intake/|core/(intake_loop|log|options|process)")

file(GLOB_RECURSE sources RELATIVE ${GC_SOURCE_DIR}
  ${GC_SOURCE_DIR}/core/*.cpp ${GC_SOURCE_DIR}/core/*.h
  ${GC_SOURCE_DIR}/intake/*.cpp ${GC_SOURCE_DIR}/intake/*.h
  ${GC_SOURCE_DIR}/store/*.cpp ${GC_SOURCE_DIR}/store/*.h
  ${GC_SOURCE_DIR}/service/*.cpp ${GC_SOURCE_DIR}/service/*.h
  ${GC_SOURCE_DIR}/tools/*.cpp ${GC_SOURCE_DIR}/tools/*.h)

set(broken "")
foreach(src ${sources})
  foreach(rule ${rules})
    string(FIND "${rule}" "=>" arrow)
    string(SUBSTRING "${rule}" 0 ${arrow} files)
    math(EXPR from "${arrow} + 2")
    string(SUBSTRING "${rule}" ${from} -1 forbidden)
    if(NOT src MATCHES "^(${files})$")
      continue()
    endif()
    file(STRINGS ${GC_SOURCE_DIR}/${src} includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${includes})
      if(line MATCHES "include[ \t]*[<\"](${forbidden})")
        string(APPEND broken "\n  ${src}: ${line}")
      endif()
    endforeach()
    break()
  endforeach()
endforeach()

if(broken)
  message(FATAL_ERROR "includes that break the rules of docs/ARCHITECTURE.md:${broken}")
endif()
