// Index document: reports the signed-in account from the cookies, then asks for the public IP.
var myObject = null;
var pararms = null;
var baseuser = '';

function sigIsSendLogin(str) {
    pararms = JSON.parse(Base64.decode(str));
}

function sigLignOutToJS(language) {
    window.location.href = 'qrc:/html/login' + language + '.html';
}

$(function () {
    var account = {};
    var username = $.cookie('username');
    var password = $.cookie('password');
    if (username !== undefined) account.username = username;
    if (password !== undefined) account.password = password;
    baseuser = Base64.encode((username || '') + ':' + (password || ''));

    new QWebChannel(qt.webChannelTransport, function (channel) {
        myObject = channel.objects.myObject;
        myObject.sendMsg(JSON.stringify({ code: 1, data: account }));
        myObject.sendMsg(JSON.stringify({ code: 11, data: account }));
        myObject.sendMsg('{"code": 8}');
    });
});
