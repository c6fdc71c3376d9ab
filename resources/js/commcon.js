/*
 * Index document: the shell around the content pages.
 *
 * Opens the web channel to the program and reports the signed-in account (taken from the
 * cookies), loads the content pages into `.page-content` when a menu item is clicked,
 * defines the page functions that the program calls in this document, and lets the menu's
 * turning icon rest while nobody uses the window. The state kept here
 * (`myObject`, `pararms`, `baseuser`) is shared with the content pages, whose scripts run
 * in this document's global scope, as are the helpers at the end of this file.
 */

/* Bridge object of the program; null until the web channel is up. */
var myObject = null;

/*
 * Parameters from the program (URL, httpPort, localIps, language), set by sigIsSendLogin
 * and extended by the pages: i18nLang (translation table), query (public IP), and the API
 * page's choices. Null until the program has answered.
 */
var pararms = null;

/* Base64 of "username:password" from the cookies; sent as "Basic " + baseuser. */
var baseuser = '';

/* Work that needs pararms and its translation table, run as soon as both are there. */
var pendingUntilReady = [];

/* Public-IP answer that arrived before the translation table. */
var pendingIpCheck = null;

/* Messages for the program written before the channel was up. */
var pendingMessages = [];

/* Sequence number of the latest content page request; older answers are dropped. */
var contentRequest = 0;

/*
 * Time limit in ms of every request to the account service, read when a request is sent. A
 * service that takes a request and never answers would otherwise leave the page waiting for
 * good, under its overlay where it raised one; at the limit the request takes its own error
 * path. The page tests lower it.
 */
var serviceTimeoutMs = 20000;

function isReady() {
    return pararms !== null && typeof pararms === 'object' && !!pararms.i18nLang;
}

/* Runs fn now if pararms and its translation table are set, else once they are. */
function whenReady(fn) {
    if (isReady()) {
        fn();
    } else {
        pendingUntilReady.push(fn);
    }
}

function runPendingWork() {
    if (pendingIpCheck !== null) {
        var check = pendingIpCheck;
        pendingIpCheck = null;
        applyIpCheck(check);
    }
    while (isReady() && pendingUntilReady.length > 0) {
        pendingUntilReady.shift()();
    }
}

/* Text of the current translation table, or '' where there is none. */
function i18nText(key) {
    if (isReady() && Object.prototype.hasOwnProperty.call(pararms.i18nLang, key)) {
        return pararms.i18nLang[key];
    }
    return '';
}

/* True when an answer of the account service reports success (code 1, string or number). */
function isServiceSuccess(answer) {
    return answer !== null && typeof answer === 'object' && String(answer.code) === '1';
}

/*
 * The loading overlay belongs to the request that raised it: raiseOverlay() returns a token,
 * and only that token takes it down again. A request that fails late (a local-API fetch, a
 * proxy-list page) thus cannot remove the overlay of a removal or a start still waiting.
 */
var overlayOwner = null;

/* Overlay raised for a message whose answer comes from the program (codes 5, 6 and 7). */
var programOverlay = null;

function raiseOverlay() {
    var token = {};
    overlayOwner = token;
    $('body').loading({ theme: 'dark' });
    return token;
}

function lowerOverlay(token) {
    if (token && token === overlayOwner) {
        overlayOwner = null;
        $('body').loading('stop');
    }
}

/* Sends a message that the program answers with a page call, under the overlay. */
function sendAwaitingProgram(message) {
    programOverlay = raiseOverlay();
    sendToProgram(message);
}

/* Called by the page functions that answer such a message. */
function programAnswered() {
    lowerOverlay(programOverlay);
    programOverlay = null;
}

/*
 * Reaction to an account-service request that got no usable answer (no connection, or an
 * answer that is not JSON): take down the overlay raised for it, if any, and tell the user.
 */
function serviceUnreachable(overlay, onConfirm) {
    lowerOverlay(overlay);
    showContactAdministrator(onConfirm);
}

/* The error box for what only the administrator can mend; onConfirm runs once it is closed. */
function showContactAdministrator(onConfirm) {
    $.NZ_MsgBox.alert({
        title: i18nText('error') || 'Error',
        content: i18nText('contact_administrator'),
        type: 'error',
        callback: onConfirm || null
    });
}

function sendToProgram(message) {
    var text = typeof message === 'string' ? message : JSON.stringify(message);
    if (myObject) {
        myObject.sendMsg(text);
    } else {
        pendingMessages.push(text);
    }
}

/* The account as kept in the cookies; a cookie that is missing is left out. */
function cookieAccount() {
    var account = {};
    var username = $.cookie('username');
    var password = $.cookie('password');
    if (username !== undefined) {
        account.username = username;
    }
    if (password !== undefined) {
        account.password = password;
    }
    return account;
}

/* ---- Page functions called by the program ---------------------------------------- */

function sigIsSendLogin(str) {
    var parameters = JSON.parse(Base64.decode(str));
    pararms = parameters;
    $(document).i18nLang(parameters.language, function (table) {
        parameters.i18nLang = table;
        if (parameters === pararms) {
            runPendingWork();
        }
    });
}

function sigLignOutToJS(language) {
    programAnswered();
    window.location.href = 'qrc:/html/login' + language + '.html';
}

/* The program reports a failed start or removal; the page waits for it under its overlay. */
function errormsg(name) {
    programAnswered();
    $.NZ_MsgBox.alert({
        title: 'Error!',
        content: name,
        type: 'error'
    });
}

function applyIpCheck(info) {
    if (pararms === null || typeof pararms !== 'object') {
        pendingIpCheck = info;
        return;
    }
    pararms.query = info.query;
    showPublicIp();
    if (info.countryCode !== 'CN') {
        return;
    }
    if (!isReady()) {
        // The warning needs the translation table; it is shown once the table is there.
        pendingIpCheck = info;
        return;
    }
    $.NZ_MsgBox.alert({
        title: 'Error',
        content: pararms.i18nLang.not_can_use1 + info.query + pararms.i18nLang.not_can_use2,
        type: 'error'
    });
}

/* The public address, on the page that has a place for it (the proxy list), once known. */
function showPublicIp() {
    if (pararms !== null && typeof pararms === 'object' && pararms.query) {
        $('.localIp').text(pararms.query);
    }
}

function sigCheckIp(str) {
    applyIpCheck(JSON.parse(Base64.decode(str)));
}

function checkversion(url) {
    $.NZ_MsgBox.alert({
        title: 'Error!错误！',
        content: '注意当前版本过低，请立即更新',
        type: 'error',
        callback: function () {
            sendToProgram({ code: 9, data: { url: url } });
        }
    });
}

/* A local program asked the HTTP API for a proxy: fetch one and hand it to the program. */
function sigIshttpProxy(str) {
    var ips = JSON.parse(Base64.decode(str));
    whenReady(function () {
        $.ajax({
            url: pararms.URL + '/v1/get_data',
            type: 'GET',
            data: { proxyType: ips.proxyType, country: ips.country },
            headers: { Authorization: 'Basic ' + baseuser },
            dataType: 'json',
            timeout: serviceTimeoutMs,
            success: function (answer) {
                if (isServiceSuccess(answer)) {
                    var proxy = answer.result !== null && typeof answer.result === 'object' ? answer.result : {};
                    proxy.local_port = ips.local_port;
                    proxy.counrtyList = ips.counrtyList;
                    proxy.gender = ips.gender;
                    proxy.API = ips.API;
                    sendToProgram({ code: 3, data: proxy });
                } else {
                    $.NZ_MsgBox.alert({
                        title: 'Error!错误！',
                        content: answer && answer.message,
                        type: 'error'
                    });
                }
            },
            error: function () {
                serviceUnreachable(null);
            }
        });
    });
}

/* ---- Content pages ------------------------------------------------------------- */

function showContentUnavailable($content) {
    var $note = $('<div class="content-unavailable"></div>');
    $note.append('<i class="fa fa-clock-o" aria-hidden="true"></i>');
    $note.append($('<p></p>').text($content.attr('data-unavailable') || ''));
    $content.empty().append($note);
}

/* Replaces the content area with the page at url; its scripts run in this document. */
function loadContentPage(url) {
    var request = ++contentRequest;
    whenReady(function () {
        if (request !== contentRequest) {
            return; // another menu item was chosen meanwhile
        }
        var $content = $('.page-content');
        $.ajax({
            url: url,
            type: 'GET',
            dataType: 'html',
            success: function (page) {
                if (request !== contentRequest) {
                    return;
                }
                if (!$.trim(page)) {
                    showContentUnavailable($content);
                    return;
                }
                $content.html(page);
            },
            error: function () {
                if (request === contentRequest) {
                    showContentUnavailable($content);
                }
            }
        });
    });
}

function bindMenu() {
    $('.page-sidebar-menu').on('click', 'li a', function (event) {
        var $item = $(this).closest('li');
        $('.page-sidebar-menu li').removeClass('active');
        if ($item.hasClass('noActive')) {
            return;
        }
        event.preventDefault();
        $item.toggleClass('active');
        loadContentPage($(this).attr('ahref'));
    });
}

function bindLogout() {
    $('#logout').on('click', function () {
        $.cookie('username', '', { path: '/' });
        $.cookie('password', '', { path: '/' });
        sendAwaitingProgram('{"code": 7}');
    });
}

/* ---- Helpers for the content pages ---------------------------------------------- */

/* Turns the page's `.kt_selectpicker` selects into searchable drop-downs (or refreshes them). */
function initSelectPickers() {
    $('select.kt_selectpicker').each(function () {
        var $select = $(this);
        if ($select.data('selectpicker')) {
            $select.selectpicker('refresh');
        } else {
            $select.attr('data-size', '5').selectpicker({ size: 5 });
        }
    });
}

/*
 * Fills `#counrtyList` from the country table behind its first option (value = code,
 * text = "NAME(CODE)"), then sets up the drop-downs. callback, if given, runs afterwards.
 */
function initCountryList(callback) {
    $.ajax({
        url: 'qrc:/json/country.json',
        type: 'GET',
        dataType: 'json',
        success: function (table) {
            var $select = $('#counrtyList');
            var options = [];
            $.each((table && table.RECORDS) || [], function (index, record) {
                options.push($('<option></option>')
                    .val(record.continent_cname)
                    .text(record.country_name_chs + '(' + record.continent_cname + ')'));
            });
            $select.children('option').slice(1).remove();
            $select.append(options);
            initSelectPickers();
            if (typeof callback === 'function') {
                callback();
            }
        }
    });
}

/* Fills `#proxyList` with the local ports 60001 to 60020 behind its first option. */
function initProxyList() {
    var $select = $('#proxyList');
    $select.children('option').slice(1).remove();
    for (var port = 60001; port <= 60020; port++) {
        $select.append($('<option></option>').val(String(port)).text(String(port)));
    }
    if ($select.data('selectpicker')) {
        $select.selectpicker('refresh');
    }
}

/* ---- The menu's turning icon ------------------------------------------------------ */

/*
 * The menu's "Residential Proxy" icon turns (fa-spin) while the user works in the window.
 * A turning icon has the web engine draw every frame, which costs a whole core where OpenGL
 * is done in software, as on a virtual machine or a remote desktop: the icon rests where it
 * stands once nothing has been typed, clicked or pointed at for iconRestAfterMs, and at once
 * when the window loses the focus or is hidden (also minimized: the program hides the page
 * then). The next input turns it on from there. The page tests lower the time.
 */
var iconRestAfterMs = 10000;

/* When the user last gave input (Date.now()), and the timer that lets the icon rest. */
var lastInputAt = 0;
var iconRestTimer = null;

function setIconResting(resting) {
    $('.page-sidebar-menu').toggleClass('icons-at-rest', resting);
}

function letIconRest() {
    clearTimeout(iconRestTimer);
    iconRestTimer = null;
    setIconResting(true);
}

/* Lets the icon rest once the user has been quiet for iconRestAfterMs. */
function restIconWhenQuiet(delay) {
    iconRestTimer = setTimeout(function () {
        var quiet = Date.now() - lastInputAt;
        if (quiet < iconRestAfterMs) {
            restIconWhenQuiet(iconRestAfterMs - quiet);
        } else {
            letIconRest();
        }
    }, delay);
}

/* Runs for every input, the pointer's moves too: it only notes the time while the icon turns. */
function turnIconOnInput() {
    lastInputAt = Date.now();
    if (iconRestTimer === null) {
        setIconResting(false);
        restIconWhenQuiet(iconRestAfterMs);
    }
}

function watchInputForIcon() {
    ['mousemove', 'mousedown', 'wheel', 'keydown', 'touchstart'].forEach(function (type) {
        document.addEventListener(type, turnIconOnInput, { capture: true, passive: true });
    });
    window.addEventListener('blur', letIconRest);
    document.addEventListener('visibilitychange', function () {
        if (document.visibilityState === 'hidden') {
            letIconRest();
        }
    });
    // The document opens on the user's sign-in or the program's start: it turns for a while,
    // unless it opens hidden.
    if (document.visibilityState === 'hidden') {
        letIconRest();
    } else {
        turnIconOnInput();
    }
}

/* ---- Start-up ------------------------------------------------------------------- */

openProgramChannel(function (channel) {
    var account = cookieAccount();
    myObject = channel.objects.myObject;
    myObject.sendMsg(JSON.stringify({ code: 1, data: account }));
    myObject.sendMsg(JSON.stringify({ code: 11, data: account }));
    myObject.sendMsg('{"code": 8}');
    while (pendingMessages.length > 0) {
        myObject.sendMsg(pendingMessages.shift());
    }
});

$(function () {
    // Links are not dragged out of the window.
    $(document).on('dragstart', 'a, img', function (event) {
        event.preventDefault();
    });

    bindMenu();
    // The first content page starts once pararms and its translation table are set.
    $('.page-sidebar-menu li.active a').first().trigger('click');
    bindLogout();
    watchInputForIcon();

    var account = cookieAccount();
    baseuser = Base64.encode((account.username || '') + ':' + (account.password || ''));
});
