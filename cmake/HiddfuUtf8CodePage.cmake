# hiddfu_use_utf8_code_page(target): gives a Windows program the application
# manifest that selects UTF-8 as its ANSI code page (Windows 10 version 1903
# and later), so that file names and other arguments outside the system's
# code page reach it intact. See app/hiddfu/system/windows/utf8_code_page.rc.
# Does nothing on other systems. Needs the RC language (enabled by the
# top-level CMakeLists.txt for Windows builds).
function(hiddfu_use_utf8_code_page target)
  if(WIN32)
    set(resource ${PROJECT_SOURCE_DIR}/app/hiddfu/system/windows/utf8_code_page.rc)
    target_sources(${target} PRIVATE ${resource})
    # The resource compiler reads the manifest: rebuild when it changes.
    set_property(SOURCE ${resource} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
                 ${PROJECT_SOURCE_DIR}/app/hiddfu/system/windows/utf8-code-page.manifest)
  endif()
endfunction()
