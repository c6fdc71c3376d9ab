/*
 * API page (api_*.html).
 *
 * Builds the URL of the local HTTP API through which other programs on this machine can
 * start a proxy, from the choices of the four drop-downs. The choices are kept in
 * pararms.proxyType, pararms.contry, pararms.proxy and pararms.gender.
 *
 * Runs in the index document's global scope each time the page is opened; it defines no
 * globals of its own.
 */
(function ($) {
    'use strict';

    /* The query values go into the URL as they are, unescaped, all four keys always. */
    function buildApiUrl() {
        $('.api_url').val('http://127.0.0.1:' + pararms.httpPort + '/api/get_ip?proxyType=' +
            pararms.proxyType + '&contry=' + pararms.contry + '&proxy=' + pararms.proxy +
            '&gender=' + pararms.gender);
    }

    function bindChoice($select, field) {
        $select.on('change', function () {
            pararms[field] = $(this).val() || '';
            buildApiUrl();
        });
    }

    whenReady(function () {
        pararms.proxyType = '2';
        pararms.contry = '';
        pararms.proxy = '';
        pararms.gender = '1';

        $('#proxyType').val(pararms.proxyType);
        $('select.gender').val(pararms.gender);
        initProxyList();
        initCountryList();
        buildApiUrl();

        bindChoice($('#proxyType'), 'proxyType');
        bindChoice($('#counrtyList'), 'contry');
        bindChoice($('#proxyList'), 'proxy');
        bindChoice($('select.gender'), 'gender');
    });
}(jQuery));
