/*
 * Modal message box.
 *
 *   $.NZ_MsgBox.alert({
 *       title: 'Error',           // plain text, may be empty
 *       content: 'Line 1\nLine 2', // plain text; "\n" starts a new line
 *       type: 'error',            // 'error', 'warning' or left out for a plain box
 *       callback: function () {}  // runs after the user confirmed
 *   });
 *
 * Every box is a `.nz-msgbox` element on its own backdrop; boxes opened while another is
 * shown stack on top of it. Title and content are always inserted as text, never as markup,
 * because they often carry messages from the account service.
 */
(function ($) {
    'use strict';

    var BASE_Z_INDEX = 20000;
    var ICONS = {
        error: 'fa-times-circle',
        warning: 'fa-exclamation-triangle',
        plain: 'fa-info-circle'
    };

    function confirmLabel() {
        var lang = (document.documentElement.getAttribute('lang') || '').toLowerCase();
        return lang.indexOf('zh') === 0 ? '确定' : 'OK';
    }

    function asText(value) {
        return value === undefined || value === null ? '' : String(value);
    }

    // Appends text to an element, turning each "\n" into a line break.
    function appendLines($element, text) {
        var lines = asText(text).split('\n');
        $.each(lines, function (index, line) {
            if (index > 0) {
                $element.append(document.createElement('br'));
            }
            $element.append(document.createTextNode(line));
        });
    }

    function openBoxes() {
        return $('.nz-msgbox-backdrop').length;
    }

    function alertBox(options) {
        var settings = $.extend({ title: '', content: '', type: '', callback: null }, options);
        var type = settings.type === 'error' || settings.type === 'warning' ? settings.type : 'plain';

        var $backdrop = $('<div class="nz-msgbox-backdrop"></div>')
            .css('z-index', BASE_Z_INDEX + openBoxes() * 2);
        var $box = $('<div class="nz-msgbox" role="alertdialog" aria-modal="true"></div>')
            .addClass('nz-msgbox-' + type);
        var $icon = $('<div class="nz-msgbox-icon"><i class="fa" aria-hidden="true"></i></div>');
        $icon.find('i').addClass(ICONS[type]);
        var $title = $('<div class="nz-msgbox-title"></div>').text(asText(settings.title));
        var $content = $('<div class="nz-msgbox-content"></div>');
        appendLines($content, settings.content);
        var $ok = $('<button type="button" class="nz-msgbox-ok"></button>').text(confirmLabel());
        var $footer = $('<div class="nz-msgbox-footer"></div>').append($ok);

        $box.append($icon, $title, $content, $footer);
        $backdrop.append($box).appendTo('body');

        var previousFocus = document.activeElement;
        var closed = false;

        function close() {
            if (closed) {
                return;
            }
            closed = true;
            $backdrop.remove();
            if (openBoxes() > 0) {
                $('.nz-msgbox-backdrop').last().find('.nz-msgbox-ok').trigger('focus');
            } else if (previousFocus && $.contains(document.body, previousFocus)) {
                previousFocus.focus();
            }
            if (typeof settings.callback === 'function') {
                settings.callback();
            }
        }

        $ok.on('click', close);
        // Keep the keyboard inside the box: Tab stays on the button, Enter and Space confirm
        // (through the button's own click), nothing reaches the page behind.
        $backdrop.on('keydown', function (event) {
            if (event.which === 9) {
                event.preventDefault();
                $ok.trigger('focus');
            }
            event.stopPropagation();
        });
        $backdrop.on('mousedown', function (event) {
            if (event.target === this) {
                event.preventDefault();
                $ok.trigger('focus');
            }
        });

        // Focus the button only after the current event: a key press that opened the box
        // (Enter in a form field) must not go on to confirm it unseen.
        window.setTimeout(function () {
            if (!closed) {
                $ok.trigger('focus');
            }
        }, 0);
        return $box;
    }

    // Page keystrokes (for example Enter in a form field) must not act while a box is up.
    document.addEventListener('keydown', function (event) {
        if (openBoxes() > 0 && !$(event.target).closest('.nz-msgbox-backdrop').length) {
            event.preventDefault();
            event.stopPropagation();
            $('.nz-msgbox-backdrop').last().find('.nz-msgbox-ok').trigger('focus');
        }
    }, true);

    $.NZ_MsgBox = {
        alert: alertBox
    };
}(jQuery));
