# Placeholder: kv_embed_version(<target> ...) embeds the program's version block.
function(kv_embed_version target)
endfunction()
