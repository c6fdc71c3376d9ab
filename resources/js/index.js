/*
 * Proxy list page: four information tiles and the service's proxy IP addresses, filtered
 * by country and fetched page by page (POST /v1/iplist) as the user scrolls the table.
 *
 * Runs in the index document's global scope each time the page is opened. The paging
 * state lives in the globals below and starts afresh at every opening and every country
 * choice; answers that belong to an earlier opening or an earlier choice are dropped.
 */

/* Number of the last requested page (0: none yet). */
var pageNo = 0;
/* Rows per page. */
var pageSize = 10;
/* Country code of the current filter ('' for all countries). */
var countryCode = '';
/* True once the service has reported that there are no further pages. */
var pageStatus = false;
/* Row index scrolled to the top after a page has arrived. */
var currentScrollTop = 0;

/* Counts the openings of this page; requests of an older opening are ignored. */
var proxyListOpening = (typeof proxyListOpening === 'number' ? proxyListOpening : 0) + 1;

(function () {
    'use strict';

    var opening = proxyListOpening;
    var table = null;
    var $scrollArea = $();
    // The list stays empty until a country has been chosen.
    var listStarted = false;
    // Counts the country choices of this opening; each request belongs to one.
    var choice = 0;
    // Pages of the current choice whose request failed, asked again before the next one.
    var failedPages = [];

    function isCurrent(requestChoice) {
        return opening === proxyListOpening && requestChoice === choice;
    }

    function pageFailed(page) {
        if (failedPages.indexOf(page) < 0) {
            failedPages.push(page);
            failedPages.sort(function (a, b) {
                return a - b;
            });
        }
    }

    function escapeHtml(value) {
        return String(value)
            .replace(/&/g, '&amp;')
            .replace(/</g, '&lt;')
            .replace(/>/g, '&gt;')
            .replace(/"/g, '&quot;')
            .replace(/'/g, '&#39;');
    }

    function plain(value) {
        return value === null || value === undefined ? '' : String(value);
    }

    /* Cell renderer: service text is shown as text. */
    function textCell(data, type) {
        var value = plain(data);
        return type === 'display' ? escapeHtml(value) : value;
    }

    /* ISP cell: one line, at most 20 characters, then "...". */
    function ispCell(data, type) {
        var value = plain(data);
        if (type !== 'display') {
            return value;
        }
        var characters = Array.from(value);
        var shown = characters.length > 20 ? characters.slice(0, 20).join('') + '...' : value;
        return '<p class="truncate-text" title="' + escapeHtml(value) + '">' + escapeHtml(shown) + '</p>';
    }

    function isEmptyPage(data) {
        return data === null || data === undefined || data === '' || !Array.isArray(data) || data.length === 0;
    }

    function fillLocalIps() {
        var $select = $('#localIps');
        var addresses = pararms && Array.isArray(pararms.localIps) ? pararms.localIps : [];
        $select.empty();
        $.each(addresses, function (index, address) {
            $select.append($('<option></option>').val(address).text(address));
        });
    }

    /*
     * A first page that failed leaves nothing to scroll: confirming its error box asks for
     * it once more. A second failure in a row does not, or a service that is down would
     * keep the user in front of the box; choosing the country again still asks.
     */
    function retryOnConfirm(requestChoice, retried) {
        if (retried || table.rows().count() > 0) {
            return null;
        }
        return function () {
            if (isCurrent(requestChoice) && failedPages.length > 0 && table.rows().count() === 0) {
                requestNextPage(true);
            }
        };
    }

    function requestPage(page, retried) {
        var requestChoice = choice;
        $.ajax({
            url: pararms.URL + '/v1/iplist',
            type: 'POST',
            data: { pageNo: page, pageSize: pageSize, countryCode: countryCode },
            headers: { Authorization: 'Basic ' + baseuser },
            dataType: 'json',
            timeout: serviceTimeoutMs,
            success: function (answer) {
                if (!isCurrent(requestChoice)) {
                    return;
                }
                if (!isServiceSuccess(answer)) {
                    pageFailed(page);
                    $.NZ_MsgBox.alert({
                        title: 'Error!错误！',
                        content: answer && answer.message,
                        type: 'error',
                        callback: retryOnConfirm(requestChoice, retried)
                    });
                    return;
                }
                var data = answer.result ? answer.result.data : null;
                if (isEmptyPage(data)) {
                    pageStatus = true;
                    return;
                }
                table.rows.add(data).draw(false);
                scrollToRow(currentScrollTop);
            },
            error: function () {
                if (isCurrent(requestChoice)) {
                    pageFailed(page);
                    serviceUnreachable(null, retryOnConfirm(requestChoice, retried));
                }
            }
        });
    }

    function scrollToRow(row) {
        if (table.scroller && typeof table.scroller.toPosition === 'function') {
            table.scroller.toPosition(row, false);
        } else {
            table.row(row, { order: 'applied' }).scrollTo(false);
        }
    }

    /*
     * Requests the next page when the scroll area is at its bottom, or a page that failed
     * before it. The table triggers a scroll event after each redraw, so this also runs
     * after a country change and after each page has been added. An end reported by a
     * later page does not stop a failed one from being asked again.
     */
    function onScroll() {
        if (!listStarted || opening !== proxyListOpening) {
            return;
        }
        if (pageStatus && failedPages.length === 0) {
            return;
        }
        var area = $scrollArea[0];
        if (!area || area.scrollTop + area.clientHeight < area.scrollHeight) {
            return;
        }
        requestNextPage();
    }

    function requestNextPage(retried) {
        var page;
        if (failedPages.length > 0) {
            page = failedPages.shift();
        } else {
            pageNo += 1;
            page = pageNo;
        }
        currentScrollTop = page === 1 ? 0 : (page - 1) * pageSize;
        requestPage(page, retried);
    }

    function createTable() {
        table = $('#example').DataTable({
            data: [],
            columns: [
                { data: 'ip', title: 'ip', render: textCell },
                {
                    data: null,
                    title: escapeHtml(i18nText('Ping')),
                    defaultContent: '<a href="#" class="ping-link">Ping</a>'
                },
                { data: 'countryCode', title: escapeHtml(i18nText('country')), render: textCell, defaultContent: '' },
                { data: 'region', title: escapeHtml(i18nText('state')), render: textCell, defaultContent: '' },
                { data: 'city', title: escapeHtml(i18nText('city')), render: textCell, defaultContent: '' },
                { data: 'zip', title: escapeHtml(i18nText('postcode')), render: textCell, defaultContent: '' },
                { data: 'isp', title: 'isp', render: ispCell, defaultContent: '' }
            ],
            dom: 'rt',
            deferRender: true,
            scrollY: '300px',
            scrollCollapse: false,
            scroller: true,
            paging: true,
            lengthChange: false,
            info: false,
            searching: false,
            autoWidth: false
        });
        $scrollArea = $('#example').closest('.dataTables_wrapper').find('.dataTables_scrollBody');
        $scrollArea.on('scroll', onScroll);
        $('#example').on('click', 'a.ping-link', function (event) {
            event.preventDefault();
        });
    }

    function bindCountryChange() {
        var $select = $('#counrtyList');
        $select.on('change', function () {
            choice += 1;
            failedPages = [];
            pageNo = 0;
            pageStatus = false;
            countryCode = $(this).val() || '';
            listStarted = true;
            table.clear().draw();
        });
        // After a failed first page the list is empty and there is nothing to scroll: choosing
        // the same country again asks again. The drop-down sends no change event for it, so
        // its items' clicks are heard, after the drop-down's own handler (and any change).
        $select.closest('.bootstrap-select').on('click', '.inner li a', function () {
            var stalled = failedPages.length > 0 && table.rows().count() === 0;
            if (listStarted && opening === proxyListOpening && stalled) {
                requestNextPage();
            }
        });
    }

    // Fresh state for this opening.
    pageNo = 0;
    pageSize = 10;
    countryCode = '';
    pageStatus = false;
    currentScrollTop = 0;

    // Shown now if known, else by the shell once the program's check has it.
    showPublicIp();
    fillLocalIps();
    createTable();
    initCountryList(bindCountryChange);
    $('.proxy-list-page .website-link').on('click', function (event) {
        event.preventDefault();
    });
}());
