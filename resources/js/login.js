// Login document: asks the program for its parameters, then for the public IP.
var myObject = null;
var pararms = null;

function sigIsSendLogin(str) {
    pararms = JSON.parse(Base64.decode(str));
}

$(function () {
    new QWebChannel(qt.webChannelTransport, function (channel) {
        myObject = channel.objects.myObject;
        myObject.sendMsg(JSON.stringify({ code: 1 }));
        myObject.sendMsg(JSON.stringify({ code: 8 }));
    });
});
