/*
 * Residential proxy page (rotatingagent_*.html).
 *
 * Shows the account's remaining traffic and the traffic used in the last 30 days, and
 * starts a residential proxy: it fetches the account's proxy access from the account
 * service and hands it to the program (code 6), which maps it to a local SOCKS5 port and
 * answers with sigSendMessageToJS(port), or with errormsg on failure.
 *
 * Runs in the index document's global scope each time the page is opened. Globals:
 * sigSendMessageToJS (page function); the shell's errormsg removes the loading overlay too.
 */

/* The program has mapped the proxy to local port `port`. */
function sigSendMessageToJS(port) {
    programAnswered();
    $.NZ_MsgBox.alert({
        title: i18nText('success'),
        content: 'IP: 127.0.0.1 \n prot :' + port
    });
}

(function ($) {
    'use strict';

    /* A traffic figure in MB: "999.500 MB" below 1000, else "2.500 GB". */
    function formatTraffic(megabytes) {
        var value = Number(megabytes);
        if (value < 1000) {
            return value.toFixed(3) + ' MB';
        }
        return (value / 1000).toFixed(3) + ' GB';
    }

    function warn(key) {
        $.NZ_MsgBox.alert({ title: 'Warning!', content: i18nText(key), type: 'warning' });
    }

    function contactAdministrator(title) {
        $.NZ_MsgBox.alert({ title: title, content: i18nText('contact_administrator'), type: 'error' });
    }

    /*
     * Whether the account (querySubUser / subUser of an answer) can be used; when not,
     * the reason is shown.
     */
    function accountUsable(account) {
        if (account === null || account === undefined) {
            contactAdministrator('error!');
            return false;
        }
        if (Number(account.status) === 404) {
            warn('purchase_sdata');
            return false;
        }
        if (!account.data || !(Number(account.data.balance) > 0)) {
            warn('traffic_used_up');
            return false;
        }
        return true;
    }

    function resultField(answer, name) {
        var result = answer.result;
        if (result === null || typeof result !== 'object') {
            return null;
        }
        return result[name] === undefined ? null : result[name];
    }

    /* overlay: the token of the overlay raised for this request, or null. */
    function postToService(path, overlay, onAnswer) {
        $.ajax({
            url: pararms.URL + path,
            type: 'POST',
            headers: { Authorization: 'Basic ' + baseuser },
            dataType: 'json',
            timeout: serviceTimeoutMs,
            success: function (answer) {
                if (answer === null || typeof answer !== 'object') {
                    serviceUnreachable(overlay);
                    return;
                }
                lowerOverlay(overlay);
                onAnswer(answer);
            },
            error: function () {
                serviceUnreachable(overlay);
            }
        });
    }

    /* Remaining traffic, without overlay. */
    function refreshRemaining() {
        postToService('/v1/querySubUser', null, function (answer) {
            if (!isServiceSuccess(answer)) {
                return;
            }
            var account = resultField(answer, 'querySubUser');
            if (accountUsable(account)) {
                $('.residual').text(formatTraffic(account.data.balance));
            }
        });
    }

    /* Traffic used in the last 30 days, under the overlay. */
    function refreshUsed() {
        postToService('/v1/queryViewTxsIP', raiseOverlay(), function (answer) {
            if (!isServiceSuccess(answer)) {
                return;
            }
            var bandwidth = resultField(answer, 'total_bandwidth');
            if (bandwidth === null) {
                contactAdministrator('error!');
                return;
            }
            $('.used').text(formatTraffic(bandwidth.data && bandwidth.data.total_bandwidth));
        });
    }

    function startProxy() {
        var overlay = raiseOverlay();
        var country = $('#counrtyList').val() || '';
        var port = $('#proxyList').val() || '';
        var sticky = $('#gender').is(':checked');

        postToService('/v1/rotatingIP', overlay, function (answer) {
            if (!isServiceSuccess(answer)) {
                contactAdministrator('Error!');
                return;
            }
            var subUser = resultField(answer, 'subUser');
            if (!accountUsable(subUser)) {
                return;
            }
            $('.residual').text(String(subUser.data.balance));

            var proxy = resultField(answer, 'ipPool');
            if (proxy === null || typeof proxy !== 'object') {
                proxy = {};
            }
            var localPort = parseInt(port, 10);
            proxy.counrtyList = country;
            proxy.local_port = isNaN(localPort) ? null : localPort;
            proxy.gender = sticky;
            proxy.username = subUser.data.username;
            proxy.password = subUser.data.proxy_authkey;

            sendAwaitingProgram({ code: 6, data: proxy });
        });
    }

    $('.refreshTraffic').on('click', function (event) {
        event.preventDefault();
        refreshRemaining();
    });

    $('.refreshRemainingTraffic').on('click', function (event) {
        event.preventDefault();
        refreshUsed();
    });

    $('#fromsubmit').on('submit', function (event) {
        event.preventDefault();
        startProxy();
    });

    whenReady(function () {
        refreshRemaining();
        initProxyList();
        initCountryList();
    });
}(jQuery));
