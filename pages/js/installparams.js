/*
 * Install parameters of the setup pages: one statement, read by the pages
 * and, for the language list, by the setup program itself.
 *
 * LANG            page languages in order: every language the program
 *                 speaks, English first. The program finds the quoted key,
 *                 skips one character and reads the quoted codes up to the
 *                 first closing bracket: keep the list right after the key,
 *                 with no bracket or quote inside a code.
 * DOWNLOAD_URL    the product package. Every ${name} is replaced by the
 *                 page property of that name, URL-encoded: ${osbits} gives
 *                 32 or 64, ${lang} the install language.
 * PRODUCT_FILE_NAME  the default package: when the server reports the
 *                 package as not found (download result 2), the installing
 *                 page tries once more with the folder of DOWNLOAD_URL
 *                 (tokens replaced, query dropped) followed by this name, here
 *                 https://download.brightcast.example/tlw/Brightcast_Suite.zip
 * CHNL            the distribution channel, passed on with setChannel.
 * TYP_URL         the thank-you page opened when the user leaves the last
 *                 page; tokens as in DOWNLOAD_URL.
 * EXE_PARAMETERS  extra command-line parameters for the package's setup.
 * VISIBLE_IN_WEB, STUB  kept for the distribution service; the pages do not
 *                 read them.
 */
var installParams = {
    "VISIBLE_IN_WEB": "1",
    "DOWNLOAD_URL": "https://download.brightcast.example/tlw/Brightcast_Suite_${osbits}bit.zip",
    "CHNL": "web",
    "LANG": ["en", "fr", "de", "it", "jp", "es", "pt", "nl", "ko", "ru", "cs", "zh", "tw"],
    "PRODUCT_FILE_NAME": "Brightcast_Suite.zip",
    "TYP_URL": "https://www.brightcast.example/thank-you?lang=${lang}",
    "EXE_PARAMETERS": "",
    "STUB": "0"
};
