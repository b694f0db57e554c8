# Reads the includes of every source file and fails on one against the layers:
# encoding/, store/ and modem/ (the core) include no window, no widget and nothing of
# app/; ui/ includes nothing of app/; the command-line tools include only the core; the
# SNPP plugin only its own files and the core's interfaces.
# Run as: cmake -DROOT=<source folder> -P layers.cmake
include(${CMAKE_CURRENT_LIST_DIR}/sourcecheck.cmake)
set(widgets "<Qt(Widgets|Gui|Help)/|<Q(Widget|Application|GuiApplication|Dialog|MainWindow)>")
set(forbidden_encoding "\"(ui|app|modem|store)/|${widgets}")
set(forbidden_store "\"(ui|app|modem)/|${widgets}")
set(forbidden_modem "\"(ui|app)/|${widgets}")
set(forbidden_ui "\"app/")
set(forbidden_tools "\"(ui|app)/|${widgets}")
# The SNPP listener, a plugin: its own files and the core's interface it serves.
set(forbidden_snpp "\"(ui|app|modem|tools|http|mail|keyring)/|${widgets}")
set(failures "")
foreach(folder encoding store modem ui tools snpp)
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
