/*
 * The web channel to the program, shared by the login and index documents.
 *
 * The pages only call the program's methods and hear its signals; they read none of its
 * properties. So the channel is never told that the page is idle: an idle page has Qt's side
 * of the channel (Qt 5's QWebChannel) look for property changes to send every 50 ms, which
 * wakes the program twenty times a second for as long as it runs, hidden in the tray too.
 */
function openProgramChannel(onOpen) {
    var channel = new QWebChannel(qt.webChannelTransport, onOpen);
    var exec = channel.exec;
    channel.exec = function (message, callback) {
        if (message.type !== QWebChannelMessageTypes.idle) {
            exec(message, callback);
        }
    };
}
