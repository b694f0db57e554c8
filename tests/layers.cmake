# Reads the includes of every source file and fails on one against the layers:
# encoding/, store/ and modem/ (the core) include no window, no widget and nothing of
# app/, the gateway, the tools or the plugins; ui/ includes nothing of app/; gateway/
# (the runner, its lines, the path into the queue) includes the core alone; the
# command-line tools include the core and the gateway; the plugins (http/, mail/,
# keyring/, snpp/) include their own files and the core's interfaces they serve, nothing of
# the gateway (they reach the runner through store/intake.h, store/mailreader.h and
# store/snppdesk.h).
# Run as: cmake -DROOT=<source folder> -P layers.cmake
include(${CMAKE_CURRENT_LIST_DIR}/sourcecheck.cmake)
set(widgets "<Qt(Widgets|Gui|Help)/|<Q(Widget|Application|GuiApplication|Dialog|MainWindow)>")
set(above_core "gateway|tools|http|mail|keyring|snpp")
set(forbidden_encoding "\"(ui|app|modem|store|${above_core})/|${widgets}")
set(forbidden_store "\"(ui|app|modem|${above_core})/|${widgets}")
set(forbidden_modem "\"(ui|app|${above_core})/|${widgets}")
set(forbidden_ui "\"(app|${above_core})/")
set(forbidden_gateway "\"(ui|app|tools|http|mail|keyring)/|${widgets}")
set(forbidden_tools "\"(ui|app|http|mail|keyring)/|${widgets}")
set(forbidden_http "\"(ui|app|modem|gateway|tools|mail|keyring)/|${widgets}")
set(forbidden_mail "\"(ui|app|modem|gateway|tools|http|keyring)/|${widgets}")
set(forbidden_keyring "\"(ui|app|modem|gateway|tools|http|mail)/|${widgets}")
set(forbidden_snpp "\"(ui|app|modem|gateway|tools|http|mail|keyring)/|${widgets}")
set(failures "")
foreach(folder encoding store modem ui gateway tools http mail keyring snpp)
    file(GLOB_RECURSE files ${ROOT}/${folder}/*.cpp ${ROOT}/${folder}/*.h)
    foreach(file ${files})
        file(STRINGS ${file} includes REGEX "^#include ")
        foreach(line ${includes})
            if(line MATCHES "^#include (${forbidden_${folder}})")
                file(RELATIVE_PATH name ${ROOT} ${file})
                list(APPEND failures "${name}: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()
fail_on_places("${failures}" "Includes against the layers")
