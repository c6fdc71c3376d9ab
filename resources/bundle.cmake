# Builds the resource bundle description: our own pages, scripts, data and images from
# resources/, plus the page libraries taken from node_modules (installed by `npm ci`,
# pinned in package-lock.json). Nothing from node_modules is kept in the repository.

set(VEXALO_NODE_MODULES "${CMAKE_CURRENT_SOURCE_DIR}/node_modules")

# bundle path = file below node_modules
set(VEXALO_VENDOR_FILES
    "js/jquery.min.js=jquery/dist/jquery.min.js"
    "js/bootstrap.min.js=bootstrap/dist/js/bootstrap.min.js"
    "js/jquery.cookie.js=jquery.cookie/jquery.cookie.js"
    "js/jquery.validate.js=jquery-validation/dist/jquery.validate.js"
    "js/messages_zh.js=jquery-validation/dist/localization/messages_zh.js"
    "js/jquery.dataTables.min.js=datatables.net/js/jquery.dataTables.min.js"
    "js/dataTables.bootstrap.min.js=datatables.net-bs/js/dataTables.bootstrap.min.js"
    "js/dataTables.scroller.min.js=datatables.net-scroller/js/dataTables.scroller.min.js"
    "js/bootstrap-select.min.js=bootstrap-select/dist/js/bootstrap-select.min.js"
    "js/defaults-zh_CN.min.js=bootstrap-select/dist/js/i18n/defaults-zh_CN.min.js"
    "js/base64.js=js-base64/base64.js"
    "js/jquery.loading.min.js=jquery-easy-loading/dist/jquery.loading.min.js"
    "css/bootstrap.min.css=bootstrap/dist/css/bootstrap.min.css"
    "css/font-awesome.min.css=font-awesome/css/font-awesome.min.css"
    "css/dataTables.bootstrap.min.css=datatables.net-bs/css/dataTables.bootstrap.min.css"
    "css/bootstrap-select.min.css=bootstrap-select/dist/css/bootstrap-select.min.css"
    "css/jquery.loading.css=jquery-easy-loading/src/loading.css"
)
foreach(font glyphicons-halflings-regular.eot glyphicons-halflings-regular.svg
             glyphicons-halflings-regular.ttf glyphicons-halflings-regular.woff
             glyphicons-halflings-regular.woff2)
    list(APPEND VEXALO_VENDOR_FILES "fonts/${font}=bootstrap/dist/fonts/${font}")
endforeach()
foreach(font FontAwesome.otf fontawesome-webfont.eot fontawesome-webfont.svg
             fontawesome-webfont.ttf fontawesome-webfont.woff fontawesome-webfont.woff2)
    list(APPEND VEXALO_VENDOR_FILES "fonts/${font}=font-awesome/fonts/${font}")
endforeach()

set(_qrc_entries "")
foreach(entry IN LISTS VEXALO_VENDOR_FILES)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 alias)
    list(GET pair 1 source)
    set(source "${VEXALO_NODE_MODULES}/${source}")
    if(NOT EXISTS "${source}")
        message(FATAL_ERROR "Page library file ${source} is missing: run scripts/setup (npm ci) first.")
    endif()
    string(APPEND _qrc_entries "        <file alias=\"${alias}\">${source}</file>\n")
endforeach()

file(GLOB_RECURSE _own_files CONFIGURE_DEPENDS
    RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}/resources"
    "${CMAKE_CURRENT_SOURCE_DIR}/resources/html/*"
    "${CMAKE_CURRENT_SOURCE_DIR}/resources/js/*"
    "${CMAKE_CURRENT_SOURCE_DIR}/resources/json/*"
    "${CMAKE_CURRENT_SOURCE_DIR}/resources/css/*"
    "${CMAKE_CURRENT_SOURCE_DIR}/resources/fonts/*"
    "${CMAKE_CURRENT_SOURCE_DIR}/resources/image/*")
list(SORT _own_files)
foreach(file IN LISTS _own_files)
    string(APPEND _qrc_entries "        <file alias=\"${file}\">${CMAKE_CURRENT_SOURCE_DIR}/resources/${file}</file>\n")
endforeach()

# The login page is the first the user waits for: it loads its page libraries and scripts
# as one file, and its style sheets as one file per language, instead of sixteen requests
# that each wait for the window's thread. The files are joined in the order the page used
# to load them; each other page still loads them one by one.
set(VEXALO_LOGIN_SCRIPTS
    node_modules/jquery/dist/jquery.min.js
    node_modules/jquery.cookie/jquery.cookie.js
    node_modules/jquery-validation/dist/jquery.validate.js
    node_modules/jquery-validation/dist/localization/messages_zh.js
    node_modules/jquery-easy-loading/dist/jquery.loading.min.js
    resources/js/loading-overlay.js
    resources/js/msgbox.js
    node_modules/js-base64/base64.js
    resources/js/jquery.i18n.js
    resources/js/channel.js
    resources/js/login.js)
set(VEXALO_LOGIN_STYLES
    node_modules/bootstrap/dist/css/bootstrap.min.css
    node_modules/font-awesome/css/font-awesome.min.css
    resources/css/msgbox.css
    resources/css/login.css)

# Joins the files (relative to the source folder) into the bundle path, rewriting the file
# only when its text changes; a change of any of them configures again.
function(vexalo_join bundle_path separator)
    set(text "")
    foreach(input IN LISTS ARGN)
        set(input "${CMAKE_CURRENT_SOURCE_DIR}/${input}")
        if(NOT EXISTS "${input}")
            message(FATAL_ERROR "Page file ${input} is missing: run scripts/setup (npm ci) first.")
        endif()
        file(READ "${input}" content)
        string(APPEND text "${content}${separator}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${input}")
    endforeach()
    set(output "${CMAKE_CURRENT_BINARY_DIR}/generated/${bundle_path}")
    file(WRITE "${output}.new" "${text}")
    configure_file("${output}.new" "${output}" COPYONLY)
    file(REMOVE "${output}.new")
endfunction()

# A script may end inside a line comment or without its last semicolon.
vexalo_join(js/login.bundle.js "\n;\n" ${VEXALO_LOGIN_SCRIPTS})
string(APPEND _qrc_entries "        <file alias=\"js/login.bundle.js\">${CMAKE_CURRENT_BINARY_DIR}/generated/js/login.bundle.js</file>\n")
foreach(language cn en)
    vexalo_join(css/login_${language}.bundle.css "\n" ${VEXALO_LOGIN_STYLES}
                resources/css/login_${language}.css)
    string(APPEND _qrc_entries "        <file alias=\"css/login_${language}.bundle.css\">${CMAKE_CURRENT_BINARY_DIR}/generated/css/login_${language}.bundle.css</file>\n")
endforeach()

# Written from the build settings by configure_file.
string(APPEND _qrc_entries "        <file alias=\"js/buildconfig.js\">${CMAKE_CURRENT_BINARY_DIR}/generated/js/buildconfig.js</file>\n")

set(VEXALO_QRC "${CMAKE_CURRENT_BINARY_DIR}/generated/resources.qrc")
set(_qrc_text "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n    <qresource prefix=\"/\">\n${_qrc_entries}    </qresource>\n</RCC>\n")
# Rewrite only on change, so an unchanged bundle is not recompiled at every configure.
file(CONFIGURE OUTPUT "${VEXALO_QRC}" CONTENT "${_qrc_text}" @ONLY)
