# Who may include whom (docs/ARCHITECTURE.md), checked over the source tree at every
# build: cmake -DGC_SOURCE_DIR=<tree> -P include_rules.cmake fails, naming each file and
# include, when a rule is broken. The libraries already keep calls apart at link time;
# this catches a header pulled in where its subsystem does not belong.

set(soap "stdsoap2\\.h|soapH\\.h|soapStub\\.h|soapcpp2|openssl/")

# Each rule: a file pattern (relative to the tree), "=>", then what its includes must not
# match. The first rule whose pattern matches a file is the one that holds for it.
set(rules
  # Text helpers, for the daemon and the tools alike: nothing of ours.
  "text/.*=>registry/|metrics/|store/|intake/|http/|service/|core/|tools/|${soap}"
  # The lowest libraries: the connection registry and the monotonic clock, pthreads
  # only; the metric families, constant data both exports share.
  "registry/.*=>metrics/|intake/|store/|http/|service/|core/|tools/|${soap}"
  "metrics/.*=>registry/|intake/|store/|http/|service/|core/|tools/|${soap}"
  "store/.*=>intake/|http/|service/|core/|tools/|${soap}"
  "intake/.*=>http/|service/|core/|tools/|${soap}"
  # HTTP framing and the request reader, with no SOAP meaning and no store.
  "http/.*=>intake/|store/|service/|core/|tools/"
  "service/.*=>intake/|core/|tools/"
  "core/.*=>tools/|${soap}"
  # The tools speak to the daemon as any scanner or client would: the record layout and
  # the channel, the generated client stubs, the daemon's -h rule.
  "tools/.*=>registry/|store/|http/|service/|core/(intake_loop|log|options|process)")

file(GLOB_RECURSE sources RELATIVE ${GC_SOURCE_DIR}
  ${GC_SOURCE_DIR}/text/*.cpp ${GC_SOURCE_DIR}/text/*.h
  ${GC_SOURCE_DIR}/registry/*.cpp ${GC_SOURCE_DIR}/registry/*.h
  ${GC_SOURCE_DIR}/metrics/*.cpp ${GC_SOURCE_DIR}/metrics/*.h
  ${GC_SOURCE_DIR}/http/*.cpp ${GC_SOURCE_DIR}/http/*.h
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
