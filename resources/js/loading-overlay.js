/*
 * House rules for the loading overlay (jquery-easy-loading):
 *
 *   $('body').loading({theme: 'dark'});   // raise
 *   $('body').loading('stop');            // remove
 *
 * The plugin itself only fades its overlay out on 'stop' and leaves the element in the
 * document. Here 'stop' takes the overlay out of the document at once and forgets the
 * plugin object, so a `.loading-overlay` exists exactly while an overlay is raised and the
 * next raise starts from a clean state. The overlay also lies above the fixed sidebar and
 * footer, keeps keystrokes from the page while it is up, and shows a spinner instead of
 * the plugin's "Loading..." text. The index document's pages go through the shell's
 * raiseOverlay() and lowerOverlay(token) (commcon.js), which give each overlay an owner.
 */
(function ($) {
    'use strict';

    var DATA_KEY = 'jquery-loading';
    // Data key of the event namespace under which an element's overlay has its window
    // resize handler.
    var RESIZE_KEY = 'vexalo-loading-resize';
    var original = $.fn.loading;
    var resizeNamespaces = 0;

    if (!original || !$.Loading) {
        return;
    }

    $.Loading.setDefaults({
        zIndex: 10000,
        message: '<i class="fa fa-circle-o-notch fa-spin" aria-hidden="true"></i>',
        // Appear at once: the overlay is there to block input, and a fade would leave a
        // moment in which clicks still get through.
        onStart: function (loading) {
            loading.overlay.show();
        },
        onStop: function () {}
    });

    function resizeHandlers() {
        var events = $._data(window, 'events');
        return $.map((events && events.resize) || [], function (binding) {
            return binding.handler;
        });
    }

    /*
     * Calls the plugin for one element. The plugin binds a resize handler on the window for
     * each overlay it makes and never unbinds it; here it is bound again under a namespace of
     * the element's own, which removeOverlay unbinds, so that handlers do not pile up for as
     * long as the document is open. Other resize handlers (the tables', the drop-downs') stay.
     */
    function callPlugin(element, args) {
        var before = resizeHandlers();
        original.apply($(element), args);
        var added = $.grep(resizeHandlers(), function (handler) {
            return $.inArray(handler, before) < 0;
        });
        if (added.length === 0) {
            return;
        }
        var namespace = $.data(element, RESIZE_KEY);
        if (!namespace) {
            resizeNamespaces += 1;
            namespace = 'loadingOverlay' + resizeNamespaces;
            $.data(element, RESIZE_KEY, namespace);
        }
        $.each(added, function (index, handler) {
            $(window).off('resize', handler).on('resize.' + namespace, handler);
        });
    }

    function removeOverlay(element) {
        var namespace = $.data(element, RESIZE_KEY);
        if (namespace) {
            $(window).off('resize.' + namespace);
            $.removeData(element, RESIZE_KEY);
        }
        var loading = $.data(element, DATA_KEY);
        if (!loading) {
            return;
        }
        loading.stop();
        loading.overlay.stop(true, true).remove();
        // The plugin binds its start/stop/click handlers to the element under the event
        // type "loading"; a new overlay binds fresh ones.
        $(element).off('loading');
        $.removeData(element, DATA_KEY);
    }

    // The overlay blocks the keyboard too (Enter in a form field, say), except inside a
    // message box shown above it.
    document.addEventListener('keydown', function (event) {
        if ($('.loading-overlay').length && !$(event.target).closest('.nz-msgbox-backdrop').length) {
            event.preventDefault();
            event.stopPropagation();
        }
    }, true);

    $.fn.loading = function (options) {
        if (options === 'stop' || options === 'destroy') {
            return this.each(function () {
                removeOverlay(this);
            });
        }
        if (options === 'toggle') {
            return this.each(function () {
                var loading = $.data(this, DATA_KEY);
                if (loading && loading.active()) {
                    removeOverlay(this);
                } else {
                    callPlugin(this, [options]);
                }
            });
        }
        var args = arguments;
        var raising = options === undefined || typeof options === 'object' || options === 'start';
        return this.each(function () {
            if (raising) {
                // Raising again while raised replaces the overlay instead of stacking a second one.
                removeOverlay(this);
            }
            callPlugin(this, args);
        });
    };
}(jQuery));
