/*
 * Translation loader.
 *
 *   $(document).i18nLang('_en', function (table) { ... });
 *
 * Fetches the translation table of a language suffix (qrc:/json/i18n_cn.json or
 * qrc:/json/i18n_en.json) and hands it to the callback. The callback is not called when
 * the table cannot be read, so texts of an unknown language simply stay missing.
 */
(function ($) {
    'use strict';

    $.fn.i18nLang = function (suffix, callback) {
        $.ajax({
            url: 'qrc:/json/i18n' + suffix + '.json',
            type: 'GET',
            dataType: 'json',
            success: function (table) {
                if (table !== null && typeof callback === 'function') {
                    callback(table);
                }
            },
            error: function () {
                if (window.console) {
                    console.warn('No translation table for language "' + suffix + '"');
                }
            }
        });
        return this;
    };
}(jQuery));
