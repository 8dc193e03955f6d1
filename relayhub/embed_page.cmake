# SPDX-License-Identifier: MIT
# Run at build time (cmake -DPAGE=... -DOUTPUT=... -P embed_page.cmake): turns the status page's
# HTML into a header, the page as a raw string literal and the SHA-256 of its one <style> and its
# one <script> in base64, as a Content-Security-Policy names them. Pinning the two by their hash
# lets the page be one answer with nothing else to fetch, while the browser runs no script and
# applies no style but these two texts; a page whose inline texts changed without a new hash
# would simply show unstyled and still, so the hash is taken from the very bytes that are built in.

file(READ "${PAGE}" page)

# The text between the one open tag and its close, failing the build unless there is exactly one.
function(inline_text tag result)
    string(FIND "${page}" "<${tag}>" open)
    string(FIND "${page}" "<${tag}>" last REVERSE)
    string(FIND "${page}" "</${tag}>" close)
    if(open EQUAL -1 OR NOT open EQUAL last OR close LESS open)
        message(FATAL_ERROR "${PAGE}: the page needs exactly one <${tag}> and its </${tag}>")
    endif()
    string(LENGTH "<${tag}>" tag_length)
    math(EXPR start "${open} + ${tag_length}")
    math(EXPR length "${close} - ${start}")
    string(SUBSTRING "${page}" ${start} ${length} text)
    # The relay fills placeholders anywhere in the page; one in here would change the hashed text.
    string(FIND "${text}" "{{" placeholder)
    if(NOT placeholder EQUAL -1)
        message(FATAL_ERROR "${PAGE}: the <${tag}> holds a placeholder")
    endif()
    set(${result} "${text}" PARENT_SCOPE)
endfunction()

# Base64 of the 32 bytes a SHA-256 of text gives: ten groups of three bytes make four characters
# each, and the last two bytes make three and a "=".
function(sha256_base64 text result)
    string(SHA256 hex "${text}")
    set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
    set(out "")
    foreach(group RANGE 0 10)
        math(EXPR at "${group} * 6")
        if(group EQUAL 10)
            string(SUBSTRING "${hex}" ${at} 4 digits)
            set(digits "${digits}00")
        else()
            string(SUBSTRING "${hex}" ${at} 6 digits)
        endif()
        math(EXPR value "0x${digits}")
        foreach(shift 18 12 6 0)
            math(EXPR index "(${value} >> ${shift}) & 63")
            string(SUBSTRING "${alphabet}" ${index} 1 character)
            string(APPEND out "${character}")
        endforeach()
    endforeach()
    string(SUBSTRING "${out}" 0 43 out)
    set(${result} "${out}=" PARENT_SCOPE)
endfunction()

inline_text(style style)
inline_text(script script)
sha256_base64("${style}" style_hash)
sha256_base64("${script}" script_hash)
string(FIND "${page}" ")page\"" end_of_literal)
if(NOT end_of_literal EQUAL -1)
    message(FATAL_ERROR "${PAGE}: the page holds )page\", which would end its string literal")
endif()

file(WRITE "${OUTPUT}"
     "// Generated from status_page.html by embed_page.cmake at build time.\n"
     "#pragma once\n"
     "constexpr char STATUS_PAGE_TEMPLATE[] = R\"page(${page})page\";\n"
     "constexpr char STATUS_PAGE_STYLE_SHA256[] = \"${style_hash}\";\n"
     "constexpr char STATUS_PAGE_SCRIPT_SHA256[] = \"${script_hash}\";\n")
