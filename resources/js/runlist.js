/*
 * Run list page: the proxies that are mapped to local ports, with location data from the
 * account service (POST /v1/getip), and their removal.
 *
 * Runs in the index document's global scope each time the page is opened. The program
 * answers code 4 with sigSendRunProxyList and code 5 with sigSendDelRow; both functions
 * stay defined in the index document after the page has been left.
 */

/*
 * Listings of this document: each opening asks the program for the list (code 4), and the
 * program answers each in turn, without saying which it answers. Only the latest listing
 * and its lookups are shown: an earlier one would list every proxy again, or bring back a
 * row removed meanwhile.
 */
var runListAsked = typeof runListAsked === 'number' ? runListAsked : 0;
var runListAnswered = typeof runListAnswered === 'number' ? runListAnswered : 0;

/* Fixed text of the delay column, the same in both languages. */
var RUN_LIST_DELAY_TEXT = '好';

/* Text of column 1 for a proxy at address: the residential proxy is shown by name. */
function runListTarget(address) {
    if (address === RESIDENTIAL_GATEWAY_HOST) {
        return i18nText('Residential_Proxy');
    }
    return address === null || address === undefined ? '' : String(address);
}

/* Appends one row to $body; location is null when the lookup gave none. */
function appendRunListRow($body, address, localPort, location) {
    var port = String(localPort);
    var fields = location || {};
    var $row = $('<tr></tr>').attr('t_data', port);
    var cells = [
        runListTarget(address),
        port,
        fields.countryCode,
        fields.region,
        fields.city,
        fields.zip,
        fields.isp,
        RUN_LIST_DELAY_TEXT
    ];
    $.each(cells, function (index, value) {
        $row.append($('<td></td>').text(value === null || value === undefined ? '' : String(value)));
    });
    var $remove = $('<i class="fa fa-remove delRow" aria-hidden="true"></i>').attr('t_data', port);
    $row.append($('<td class="run-action"></td>').append($('<a href="#" class="delRowLink"></a>').append($remove)));
    $body.append($row);
}

/* The local port of an outbound: the part of its tag between the first and second "_". */
function runListLocalPort(tag) {
    var parts = String(tag === null || tag === undefined ? '' : tag).split('_');
    return parts.length > 1 ? parts[1] : '';
}

/* The core configuration as an object, or null when the text does not decode to one. */
function runListConfig(str) {
    if (typeof str !== 'string' || !Base64.isValid(str)) {
        return null;
    }
    try {
        var config = JSON.parse(Base64.decode(str));
        var isObject = config !== null && typeof config === 'object' && !Array.isArray(config);
        return isObject ? config : null;
    } catch (e) {
        return null;
    }
}

/* Page function: the program sends the core configuration as Base64 text. */
function sigSendRunProxyList(str) {
    if (runListAnswered >= runListAsked) {
        return; // nothing was asked in this document
    }
    runListAnswered += 1;
    if (runListAnswered < runListAsked) {
        return; // a later listing is waiting for its own answer
    }
    var listing = runListAsked;
    var $body = $('.iptbody');
    var config = runListConfig(str);
    if (config === null) {
        showContactAdministrator();
        return;
    }
    var outbounds = Array.isArray(config.outbounds) ? config.outbounds : [];
    // One box per listing, however many of its lookups fail.
    var lookupFailed = false;

    $.each(outbounds, function (index, outbound) {
        var servers = outbound && outbound.settings && outbound.settings.servers;
        if (!Array.isArray(servers) || servers.length === 0 || !servers[0]) {
            return;
        }
        var ip = servers[0].address;
        var port = servers[0].port;
        var localPort = runListLocalPort(outbound.tag);

        $.ajax({
            url: pararms.URL + '/v1/getip',
            type: 'POST',
            data: { ip: ip, port: port },
            headers: { Authorization: 'Basic ' + baseuser },
            dataType: 'json',
            timeout: serviceTimeoutMs,
            success: function (answer) {
                if (listing !== runListAsked) {
                    return;
                }
                if (isServiceSuccess(answer) && answer.result && typeof answer.result === 'object') {
                    appendRunListRow($body, answer.result.ip, localPort, answer.result);
                } else {
                    appendRunListRow($body, ip, localPort, null);
                }
            },
            error: function () {
                if (listing !== runListAsked) {
                    return;
                }
                // Without a usable answer the proxy is still listed, without location.
                appendRunListRow($body, ip, localPort, null);
                if (!lookupFailed) {
                    lookupFailed = true;
                    showContactAdministrator();
                }
            }
        });
    });
}

/* Page function: the program has removed the proxy of the local port. */
function sigSendDelRow(port) {
    var key = String(port);
    programAnswered();
    $('.iptbody tr').filter(function () {
        return $(this).attr('t_data') === key;
    }).remove();
}

(function () {
    'use strict';

    // Delegated from this opening's own page element, which the next opening replaces,
    // so the handler exists once whatever the number of openings.
    $('.run-list-page')
        .off('click.runlist')
        .on('click.runlist', 'a.delRowLink', function (event) {
            event.preventDefault();
            var port = parseInt($(this).find('.delRow').attr('t_data'), 10);
            if (isNaN(port)) {
                return;
            }
            sendAwaitingProgram({ code: 5, data: port });
        });

    runListAsked += 1;
    sendToProgram('{"code": 4}');
}());
