/*
 * Login document.
 *
 * Asks the program for its parameters, loads the translation table of their language and
 * only then arms the form: validation rules with translated messages and the submit
 * handler that checks the account with the account service. On success the account is
 * kept in the cookies `username` and `password` and the index document opens.
 */

/* Bridge object of the program; null until the web channel is up. */
var myObject = null;

/* Parameters from the program (URL, language, ...) plus the translation table i18nLang. */
var pararms = null;

/*
 * Time limit in ms of the sign-in request: a service that takes it and never answers must
 * not leave the form under the overlay for good. Read at each sign-in; the page tests lower it.
 */
var serviceTimeoutMs = 20000;

function i18nText(key) {
    var table = pararms && pararms.i18nLang;
    if (table && Object.prototype.hasOwnProperty.call(table, key)) {
        return table[key];
    }
    return '';
}

function validationMessages() {
    return {
        username: {
            required: i18nText('username_required'),
            minlength: i18nText('username_minlength'),
            email: i18nText('username_email')
        },
        password: {
            required: i18nText('password_required'),
            minlength: i18nText('password_minlength')
        }
    };
}

function showBoxAndStopOverlay(options) {
    $.NZ_MsgBox.alert(options);
    $('body').loading('stop');
}

function submitLogin(form) {
    $('body').loading({ theme: 'dark' });
    $.ajax({
        url: pararms.URL + '/public/login',
        type: 'POST',
        data: $(form).serialize(),
        dataType: 'json',
        timeout: serviceTimeoutMs,
        success: function (answer) {
            if (answer !== null && typeof answer === 'object' && String(answer.code) === '1') {
                var username = $('#username').val();
                var password = $('#password').val();
                var language = pararms.language;
                showBoxAndStopOverlay({
                    title: '',
                    content: i18nText('login.successfully'),
                    callback: function () {
                        $.cookie('username', username, { expires: 7, path: '/' });
                        $.cookie('password', password, { expires: 7, path: '/' });
                        window.location.href = 'qrc:/html/index' + language + '.html';
                    }
                });
            } else {
                showBoxAndStopOverlay({
                    title: i18nText('error'),
                    content: answer !== null && typeof answer === 'object' ? i18nText(answer.message) : '',
                    type: 'error'
                });
            }
        },
        error: function () {
            // No answer (in time), or one that is not JSON.
            showBoxAndStopOverlay({
                title: i18nText('error'),
                content: i18nText('contact_administrator'),
                type: 'error'
            });
        }
    });
}

/* Installs the validation rules and the submit handler; called once the table is there. */
function armLoginForm() {
    var $form = $('.login-form');
    var validator = $form.data('validator');
    if (validator) {
        // Parameters came again: keep the form, take the new texts.
        validator.settings.messages = validationMessages();
        return;
    }
    $form.validate({
        rules: {
            username: { required: true, minlength: 6, email: true },
            password: { required: true, minlength: 5 }
        },
        messages: validationMessages(),
        errorClass: 'error',
        errorElement: 'label',
        submitHandler: function (form) {
            submitLogin(form);
            return false;
        }
    });
}

/* ---- Page functions called by the program ---------------------------------------- */

function sigIsSendLogin(str) {
    var parameters = JSON.parse(Base64.decode(str));
    pararms = parameters;
    $(document).i18nLang(parameters.language, function (table) {
        parameters.i18nLang = table;
        if (parameters === pararms) {
            armLoginForm();
        }
    });
}

function errormsg(name) {
    $.NZ_MsgBox.alert({
        title: 'Error!',
        content: name,
        type: 'error'
    });
}

/* ---- Start-up ------------------------------------------------------------------- */

openProgramChannel(function (channel) {
    myObject = channel.objects.myObject;
    myObject.sendMsg(JSON.stringify({ code: 1 }));
    myObject.sendMsg('{"code": 8}');
});

$(function () {
    var $form = $('.login-form');

    // The form is never sent by the browser itself: before it is armed a submit does
    // nothing, afterwards the validator's handler sends the request.
    $form.on('submit', function (event) {
        event.preventDefault();
    });

    // There is no submit button; Enter in either field submits.
    $form.on('keydown', 'input', function (event) {
        if (event.which === 13) {
            event.preventDefault();
            $form.trigger('submit');
        }
    });

    // The help links lead nowhere.
    $('#forget-password, #register-btn').on('click', function (event) {
        event.preventDefault();
    });

    $(document).on('dragstart', 'a, img', function (event) {
        event.preventDefault();
    });
});
