/*
 * Settings page (settings_*.html): switches the interface language.
 *
 * A change of the language select sends code 10 with the chosen suffix; the program
 * stores it and calls setlanguage(language), which opens the index document of that
 * language.
 *
 * Runs in the index document's global scope each time the page is opened. Globals:
 * setlanguage (page function).
 */

/* Opens the index document of the language suffix `language` ("_cn" or "_en"). */
function setlanguage(language) {
    window.location.href = 'qrc:/html/index' + language + '.html';
}

(function ($) {
    'use strict';

    whenReady(function () {
        var $language = $('#Language');
        $language.val(pararms.language);
        $language.on('change', function () {
            sendToProgram({ code: 10, data: { language: $(this).val() } });
        });
    });
}(jQuery));
