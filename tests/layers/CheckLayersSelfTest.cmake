# The layer check must find what it is meant to find: a small tree with one
# fault of each kind fails and names each, the same tree without them passes.
#   cmake -DCHECKER=<CheckLayers.cmake> -DWORK_DIR=<scratch> -DQT_INCLUDE_ROOT=<dir> -P CheckLayersSelfTest.cmake
cmake_minimum_required(VERSION 3.25)

set(tree ${WORK_DIR}/tree)
file(REMOVE_RECURSE ${tree})
# Allowed: downward includes, Core and Gui headers, widgets in app/.
file(WRITE ${tree}/serial/Port.h "#include \"platform/Device.h\"\n#include <QTimer>\n")
file(WRITE ${tree}/isp/Engine.cpp "#include \"isp/Engine.h\"\n#include \"serial/Port.h\"\n#include <QAction>\n")
file(WRITE ${tree}/cli/Main.cpp "#include \"term/Session.h\"\n#include \"platform/PortDiscovery.h\"\n")
file(WRITE ${tree}/app/Window.cpp "#include <QWidget>\n#include \"cli/Main.h\"\n")

function(run_check out_var rc_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -DQT_INCLUDE_ROOT=${QT_INCLUDE_ROOT} -P ${CHECKER}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  set(${out_var} "${out}${err}" PARENT_SCOPE)
  set(${rc_var} ${rc} PARENT_SCOPE)
endfunction()

run_check(out rc)
if(NOT rc EQUAL 0)
  message("${out}")
  message(FATAL_ERROR "a tree that keeps its layers was refused")
endif()

file(WRITE ${tree}/terminal/Lamp.h "  #  include <QtWidgets/QLabel>\n")
file(WRITE ${tree}/printer/Page.cpp "#include <QPushButton>\n")
file(WRITE ${tree}/isp/Page.cpp "#include \"app/Window.h\"\n")
file(WRITE ${tree}/term/Session.cpp "#include \"cli/Main.h\"\n#include \"../app/Window.h\"\n")
file(WRITE ${tree}/platform/Device.cpp "#include \"serial/Port.h\"\n")
run_check(out rc)
set(missed "")
foreach(expect "terminal/Lamp.h: <QtWidgets/QLabel>" "printer/Page.cpp: <QPushButton>"
        "isp/Page.cpp: app/Window.h points up" "term/Session.cpp: cli/Main.h points up"
        "term/Session.cpp: ../app/Window.h climbs" "platform/Device.cpp: serial/Port.h points up"
        "6 include")
  string(FIND "${out}" "${expect}" at)
  if(at EQUAL -1)
    list(APPEND missed "${expect}")
  endif()
endforeach()
if(rc EQUAL 0 OR missed)
  message("${out}")
  message(FATAL_ERROR "the layer check let through: ${missed} (exit ${rc})")
endif()
message("the layer check finds each planted fault")
