// The pages reach the setup program's script object under this name.
var installer = window.external;
